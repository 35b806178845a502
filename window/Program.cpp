#include "window/FailureText.h"
#include "window/PathText.h"
#include "window/Interaction.h"
#include "window/Main.h"
#include "settings/Options.h"
#include "window/QtTranslation.h"
#include "Version.h"

#include <QApplication>
#include <QDir>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// Without a display Qt would abort; say what to do instead.
bool HasDisplay() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    // A file-size limit must fail the write, not kill the program half-way.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    if (!HasDisplay()) {
        std::fputs(
            "tarnwick: no display found. Start it in a desktop session, or under a virtual one:\n"
            "  xvfb-run -a tarnwick PATH\n"
            "For scripts and batch use there is tarnwick-cli (see tarnwick-cli --help).\n",
            stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarnwick"));
    QApplication::setApplicationVersion(QStringLiteral(TARNWICK_VERSION));

    using namespace tarnwick;
    window::InstallQtTranslation(app);
    window::MainSetup setup;
#ifdef _WIN32
    setup.arguments = QApplication::arguments().mid(1);
#else
    // The bytes as given (Qt has taken its own options out of argv), so that a
    // path that is no valid text in the locale still names its file.
    for (int i = 1; i < argc; ++i) setup.arguments << window::FromPath(argv[i]);
#endif
    setup.optionsFile =
        settings::ChooseOptionsFile(window::ToPath(QApplication::applicationDirPath()), settings::UserConfigFolder());
    window::DialogInteraction interaction;
    window::Main main(std::move(setup), interaction);
    main.show();
    return app.exec();
}
