#include "window/QtTranslation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace tarnwick::window {

bool InstallQtTranslation(QCoreApplication& app) {
    auto* translator = new QTranslator(&app);
    for (const QString& folder : {QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
                                  QLibraryInfo::path(QLibraryInfo::TranslationsPath)}) {
        if (translator->load(QStringLiteral("qtbase_ru"), folder))
            return QCoreApplication::installTranslator(translator);
    }
    delete translator;
    return false;
}

}  // namespace tarnwick::window
