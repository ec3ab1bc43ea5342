#include "metro/window/MetronomeApplication.h"

#include <QMessageBox>

#include <exception>

namespace metro::window {

MetronomeApplication::MetronomeApplication(int& argc, char** argv) : QApplication(argc, argv) {
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
