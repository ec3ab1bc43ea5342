#include "metro/window/MetronomeApplication.h"

#include <QMessageBox>

#include <exception>

namespace metro::window {

namespace {
// Through X's shared memory every repaint brings back a completion event that wakes two of the
// window's threads. The window repaints little more than two small lamps a beat, which cost
// less sent inline. Qt reads this as it opens the display; the user's own setting is kept, and
// ours is taken back afterwards so that programs started from here (the browser) do not get it.
bool setInlineImages = false;
int& withInlineImages(int& argc) {
    setInlineImages = !qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM");
    if (setInlineImages) {
        qputenv("QT_XCB_NO_MITSHM", "1");
    }
    return argc;
}
} // namespace

MetronomeApplication::MetronomeApplication(int& argc, char** argv)
    : QApplication(withInlineImages(argc), argv) {
    if (setInlineImages) {
        qunsetenv("QT_XCB_NO_MITSHM");
    }
    setApplicationName(QStringLiteral("qo-metronome"));
    // Wayland compositors match the window to its menu entry (and icon) by this name.
    setDesktopFileName(QStringLiteral("org.example.qo_metronome"));
    setStyle(QStringLiteral("Fusion"));
}

bool MetronomeApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        reportFatal(QString::fromUtf8(error.what()));
    }
    return true;
}

void MetronomeApplication::reportFatal(const QString& what) {
    static bool reporting = false;
    if (!reporting) {
        reporting = true;
        QMessageBox box(
            QMessageBox::Critical, QString::fromUtf8(kApplicationTitle),
            QStringLiteral("The metronome has to close because of an error:\n\n%1").arg(what),
            QMessageBox::Ok);
        box.exec();
        reporting = false;
    }
    QCoreApplication::exit(kFatalStatus);
}

} // namespace metro::window
