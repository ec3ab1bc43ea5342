#pragma once

#include <QApplication>
#include <QString>

namespace metro::window {

/// The title the program's message boxes carry.
inline constexpr const char* kApplicationTitle = "Qo Metronome";

/// The application object. An exception that escapes any event handler or slot is shown to
/// the user in a message box, and the program then leaves its event loop with status 1.
/// Window thread only.
class MetronomeApplication final : public QApplication {
    Q_OBJECT
public:
    MetronomeApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    /// Shows an error that ends the program and makes the event loop return 1.
    static void reportFatal(const QString& what);

    /// The exit status of a program ended by reportFatal.
    static constexpr int kFatalStatus = 1;
};

} // namespace metro::window
