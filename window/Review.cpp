#include "window/Review.h"

#include "window/PathText.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QPushButton>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace tarnwick::window {

namespace {

constexpr int kHtmlRole = Qt::UserRole + 1;

// Characters of a line shown before its occurrence: the occurrence stays in sight in a narrow column.
constexpr std::size_t kShownBefore = 12;

// A line with its occurrence (or replacement) marked: bold, on a tint of red or green.
QString Marked(const std::u16string& line, std::size_t at, std::size_t length, bool after) {
    const auto text = [&](std::size_t from, std::size_t count) {
        return QString::fromUtf16(line.data() + from, static_cast<qsizetype>(count)).toHtmlEscaped();
    };
    at = std::min(at, line.size());
    length = std::min(length, line.size() - at);
    const std::size_t from = at > kShownBefore ? at - kShownBefore : 0;
    return (from ? QStringLiteral("…") : QString()) + text(from, at - from) +
           QStringLiteral("<b style=\"background-color:") +
           (after ? QStringLiteral("#c8f0c8") : QStringLiteral("#f8c8c8")) + QStringLiteral("\">") + text(at, length) +
           QStringLiteral("</b>") + text(at + length, line.size() - at - length);
}

// Draws an item's marked text.
class MarkedText : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QString html = index.data(kHtmlRole).toString();
        if (html.isEmpty()) return QStyledItemDelegate::paint(painter, option, index);
        QStyleOptionViewItem plain = option;
        initStyleOption(&plain, index);
        plain.text.clear();
        plain.widget->style()->drawControl(QStyle::CE_ItemViewItem, &plain, painter, plain.widget);
        QTextDocument document;
        document.setDefaultFont(option.font);
        document.setDocumentMargin(1);
        document.setHtml(QStringLiteral("<span style=\"white-space:pre\">") + html + QStringLiteral("</span>"));
        painter->save();
        // (A few pixels apart from the next column.)
        painter->translate(option.rect.topLeft() + QPoint(2, 0));
        painter->setClipRect(QRect(QPoint(0, 0), option.rect.size() - QSize(8, 0)));
        document.drawContents(painter);
        painter->restore();
    }
};

QTreeWidget* List(QWidget* parent, const char* name, const QString& accessible, const QStringList& columns) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QString::fromLatin1(name));
    list->setAccessibleName(accessible);
    list->setHeaderLabels(columns);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    return list;
}

}  // namespace

ReviewSource PreviewSource(CorrectionRun& scan, Corrector& shower) {
    ReviewSource source;
    source.scan = [&scan](const std::function<bool(const std::filesystem::path&, std::uint64_t)>& found) {
        // Each file to correct with its count of occurrences, as the scan finds it.
        struct Counting : RunSink {
            const std::function<bool(const std::filesystem::path&, std::uint64_t)>& found;
            explicit Counting(const std::function<bool(const std::filesystem::path&, std::uint64_t)>& f) : found(f) {}
            bool File(const FileReport&) override { return true; }
            bool Preview(const FileReport& report, const ShowCorrection& show) override {
                const ProcessResult seen = show([](std::string_view) {}, [](std::string_view, std::string_view) {});
                return seen.failure || seen.verdict != FileVerdict::ToCorrect || found(report.path, seen.replacements);
            }
        } counting(found);
        scan.Execute(counting);
    };
    source.show = [&shower](const std::filesystem::path& path, OccurrenceChoice& shown) {
        std::vector<ShownChange> changes;
        shower.Show(path, shown, &changes);
        return changes;
    };
    return source;
}

OccurrenceChoice ReviewedFile::Choice() const {
    OccurrenceChoice none;
    none.kind = OccurrenceChoice::Kind::None;
    if (!checked) return none;
    if (!choice) return {};
    return choice->Any() ? *choice : none;
}

ReviewWindow::ReviewWindow(ReviewSource source, QWidget* parent) : QDialog(parent), source_(std::move(source)) {
    setObjectName(QStringLiteral("Review"));
    setWindowTitle(QStringLiteral("Просмотр изменений"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* splitter = new QSplitter(this);
    fileList_ = List(splitter, "Files", QStringLiteral("Файлы"), {QStringLiteral("Файл"), QStringLiteral("Вхождений")});
    changeList_ = List(splitter, "Changes", QStringLiteral("Изменения"),
                       {QStringLiteral("Строка"), QStringLiteral("Было"), QStringLiteral("Станет")});
    changeList_->setItemDelegateForColumn(1, new MarkedText(changeList_));
    changeList_->header()->setStretchLastSection(false);
    changeList_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    changeList_->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    changeList_->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    changeList_->setItemDelegateForColumn(2, new MarkedText(changeList_));
    fileList_->header()->setStretchLastSection(false);
    fileList_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    fileList_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 2);
    apply_ = new QPushButton(QStringLiteral("Обработать отмеченные"), this);
    apply_->setObjectName(QStringLiteral("Apply"));
    apply_->setAccessibleName(apply_->text());
    apply_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Отмена"), this);
    cancel_->setObjectName(QStringLiteral("Cancel"));
    cancel_->setAccessibleName(cancel_->text());
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(apply_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);
    resize(900, 520);
    connect(apply_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(fileList_, &QTreeWidget::currentItemChanged, this, [this] { FileSelected(); });
    connect(fileList_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item) { FileChecked(item); });
    connect(changeList_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item) { ChangeChecked(item); });
}

void ReviewWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!started_) QTimer::singleShot(0, this, [this] { Scan(); });
}

void ReviewWindow::Scan() {
    if (started_) return;
    started_ = scanning_ = true;
    QElapsedTimer painted;
    painted.start();
    source_.scan([&](const std::filesystem::path& file, std::uint64_t occurrences) {
        files_.push_back({file, occurrences, true, std::nullopt});
        filling_ = true;
        auto* item = new QTreeWidgetItem(fileList_, {FromPath(file), QString::number(occurrences)});
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Checked);
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        filling_ = false;
        if (files_.size() == 1) fileList_->setCurrentItem(item);
        // The window stays alive while the scan goes on: painted, answering, closable.
        if (painted.elapsed() > 30 || files_.size() == 1) {
            QApplication::processEvents();
            painted.restart();
        }
        return !closing_.has_value();
    });
    scanning_ = false;
    if (closing_) QDialog::done(*closing_);
}

void ReviewWindow::done(int result) {
    if (scanning_) {
        closing_ = result;  // (the scan stops at its next file, then the window closes)
        return;
    }
    QDialog::done(result);
}

void ReviewWindow::FileSelected() {
    QTreeWidgetItem* item = fileList_->currentItem();
    if (!item) return;
    ShowChanges(static_cast<std::size_t>(fileList_->indexOfTopLevelItem(item)));
}

void ReviewWindow::ShowChanges(std::size_t k) {
    if (k >= files_.size()) return;
    ReviewedFile& file = files_[k];
    OccurrenceChoice shown;
    std::vector<ShownChange> changes = source_.show(file.path, shown);
    if (shown.kind == OccurrenceChoice::Kind::Chosen) {
        // The choice made so far stays, as long as the file holds what it held.
        if (file.choice && file.choice->hash == shown.hash && file.choice->length == shown.length &&
            file.choice->taken.size() == shown.taken.size())
            shown.taken = file.choice->taken;
        else if (!file.checked) shown.taken.assign(shown.taken.size(), false);
        file.choice = shown;
    }
    shown_ = k;
    filling_ = true;
    changeList_->clear();
    QList<QTreeWidgetItem*> items;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const ShownChange& c = changes[i];
        auto* item = new QTreeWidgetItem(
            {QString::number(c.line), QString::fromStdU16String(c.before), QString::fromStdU16String(c.after)});
        item->setData(1, kHtmlRole, Marked(c.before, c.at, c.length, false));
        item->setData(2, kHtmlRole, Marked(c.after, c.at, c.newLength, true));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        const bool taken = file.choice && i < file.choice->taken.size() && file.choice->taken[i];
        item->setCheckState(0, taken ? Qt::Checked : Qt::Unchecked);
        items.push_back(item);
    }
    changeList_->addTopLevelItems(items);
    filling_ = false;
}

void ReviewWindow::FileChecked(QTreeWidgetItem* item) {
    if (filling_) return;
    const auto k = static_cast<std::size_t>(fileList_->indexOfTopLevelItem(item));
    if (k >= files_.size()) return;
    ReviewedFile& file = files_[k];
    const bool on = item->checkState(0) != Qt::Unchecked;
    file.checked = on;
    // Checking or unchecking a file takes or leaves every occurrence of it.
    if (file.choice) file.choice->taken.assign(file.choice->taken.size(), on);
    SetFileCheck(k);
    if (shown_ == k) {
        filling_ = true;
        for (int i = 0; i < changeList_->topLevelItemCount(); ++i)
            changeList_->topLevelItem(i)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
        filling_ = false;
    }
}

void ReviewWindow::ChangeChecked(QTreeWidgetItem* item) {
    if (filling_ || !shown_) return;
    ReviewedFile& file = files_[*shown_];
    const auto i = static_cast<std::size_t>(changeList_->indexOfTopLevelItem(item));
    if (!file.choice || i >= file.choice->taken.size()) return;
    file.choice->taken[i] = item->checkState(0) == Qt::Checked;
    file.checked = file.choice->Taken() > 0;
    SetFileCheck(*shown_);
}

void ReviewWindow::SetFileCheck(std::size_t k) {
    const ReviewedFile& file = files_[k];
    Qt::CheckState state = file.checked ? Qt::Checked : Qt::Unchecked;
    if (file.checked && file.choice && file.choice->Taken() < file.choice->taken.size()) state = Qt::PartiallyChecked;
    filling_ = true;
    fileList_->topLevelItem(static_cast<int>(k))->setCheckState(0, state);
    filling_ = false;
}

}  // namespace tarnwick::window
