// Baseline for the window benchmarks: an empty Qt 6 window of the metronome's size.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Empty Qt window"));
    window.setFixedSize(650, 368);
    window.show();
    return QApplication::exec();
}
