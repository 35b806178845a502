#pragma once

// The review window ("Просмотр изменений"): the files to correct on the left,
// filled as the scan finds them, each with a check box and its count of
// occurrences; the occurrences of the file selected on the right, each with
// its line number, the line before and after the change and a check box.
// «Обработать отмеченные» closes it accepted; «Отмена» and Escape close it
// changing nothing. The occurrences of a file are read when it is selected,
// never kept for every file.

#include "engine/rewrite/Corrector.h"
#include "engine/run/Run.h"

#include <QDialog>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tarnwick::window {

// One file to correct as the review leaves it.
struct ReviewedFile {
    std::filesystem::path path;
    std::uint64_t occurrences = 0;
    bool checked = true;
    // Once its occurrences were shown: which are taken, of the file as shown.
    std::optional<OccurrenceChoice> choice;
    // What to replace: every occurrence (never shown, checked), none, or the choice.
    OccurrenceChoice Choice() const;
};

// Where the window's content comes from.
struct ReviewSource {
    // Finds the files to correct, telling `found` each one with its count of
    // occurrences as it goes (the window paints meanwhile); stops when `found`
    // answers false.
    std::function<void(const std::function<bool(const std::filesystem::path&, std::uint64_t)>& found)> scan;
    // A file's occurrences as text, and `shown` the choice of all of them.
    std::function<std::vector<ShownChange>(const std::filesystem::path& file, OccurrenceChoice& shown)> show;
};

// The source over `scan` (a run in RunMode::Preview) and `shower` (a copy of
// its corrector), both held by the caller while the window lives.
ReviewSource PreviewSource(CorrectionRun& scan, Corrector& shower);

class ReviewWindow : public QDialog {
    Q_OBJECT

public:
    explicit ReviewWindow(ReviewSource source, QWidget* parent = nullptr);
    const std::vector<ReviewedFile>& Files() const { return files_; }
    bool Scanning() const { return scanning_; }

    // The scan, started once the window shows (also called by tests).
    void Scan();

protected:
    void showEvent(QShowEvent* event) override;
    // Closing (Escape, «Отмена», «Обработать отмеченные») waits for the scan to stop.
    void done(int result) override;

private:
    void FileSelected();
    void FileChecked(QTreeWidgetItem* item);
    void ChangeChecked(QTreeWidgetItem* item);
    // The occurrences of file `k` in the right list.
    void ShowChanges(std::size_t k);
    void SetFileCheck(std::size_t k);

    ReviewSource source_;
    std::vector<ReviewedFile> files_;
    QTreeWidget* fileList_;
    QTreeWidget* changeList_;
    QPushButton* apply_;
    QPushButton* cancel_;
    std::optional<std::size_t> shown_;  // the file whose occurrences are listed
    bool scanning_ = false, started_ = false, filling_ = false;
    std::optional<int> closing_;  // a result asked for while the scan ran
};

}  // namespace tarnwick::window
