// The window as it first appears and at work: places, keys, transport states, lamps, options,
// sliders and the tempo box.
#include "WindowRig.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QStyleOptionButton>
#include <QTemporaryDir>

using namespace metro;
using namespace metro::window;
using namespace metro::window::test;

namespace {
enum : int { kBold = 1, kHidden = 2, kDisabled = 4 };
struct Place {
    const char* name;
    const char* parent;
    QRect twips;
    double points; // 0 for the drawn shapes, which have no font
    int flags = 0;
};
// Left, top, width and height in twips (15 to a pixel).
const std::array<Place, 43> kPlaces{{
    {"Command1", "Form1", {1440, 4320, 3255, 975}, 13.5},
    {"Command3", "Form1", {5040, 4320, 3255, 975}, 13.5, kDisabled},
    {"Frame1", "Form1", {600, 360, 2535, 855}, 8.25, kBold},
    {"Option1", "Frame1", {240, 360, 735, 255}, 9.75},
    {"Option2", "Frame1", {1560, 360, 855, 255}, 9.75},
    {"Frame2", "Form1", {3840, 360, 1935, 855}, 8.25, kBold},
    {"Text1", "Frame2", {240, 360, 855, 285}, 9.75},
    {"Label1", "Frame2", {1320, 360, 495, 255}, 9.75},
    {"Frame3", "Form1", {6720, 360, 1935, 855}, 8.25, kBold},
    {"Option3", "Frame3", {240, 360, 735, 255}, 9.75},
    {"Option4", "Frame3", {1200, 360, 615, 255}, 9.75},
    {"Shape2", "Form1", {720, 1920, 1215, 1095}, 0},
    {"Shape3", "Form1", {3120, 1920, 1215, 1095}, 0},
    {"Shape4", "Form1", {5520, 1920, 1215, 1095}, 0},
    {"Shape5", "Form1", {7800, 1920, 1215, 1095}, 0},
    {"Label2", "Form1", {840, 2040, 975, 855}, 24},
    {"Label3", "Form1", {3240, 2040, 975, 855}, 24},
    {"Label4", "Form1", {5640, 2040, 975, 855}, 24},
    {"Label5", "Form1", {7920, 2040, 975, 855}, 24},
    {"Slider1", "Form1", {480, 3120, 1695, 615}, 8.25},
    {"Slider2", "Form1", {2880, 3120, 1695, 615}, 8.25},
    {"Slider3", "Form1", {5280, 3120, 1695, 495}, 8.25},
    {"Slider4", "Form1", {7560, 3120, 1695, 495}, 8.25},
    {"Label9", "Form1", {480, 3720, 375, 255}, 8.25},
    {"Label10", "Form1", {2880, 3720, 375, 255}, 8.25},
    {"Label11", "Form1", {5280, 3720, 375, 255}, 8.25},
    {"Label12", "Form1", {7680, 3720, 375, 255}, 8.25},
    {"Label13", "Form1", {1800, 3720, 375, 255}, 8.25},
    {"Label14", "Form1", {4200, 3720, 375, 255}, 8.25},
    {"Label15", "Form1", {6600, 3720, 375, 255}, 8.25},
    {"Label16", "Form1", {9000, 3720, 375, 255}, 8.25},
    {"Shape1", "Form1", {120, 120, 9495, 1335}, 0},
    {"Shape6", "Form1", {120, 4200, 9495, 1215}, 0},
    {"Label18", "Form1", {480, 4440, 615, 495}, 18},
    {"Shape7", "Form1", {480, 4440, 615, 495}, 0},
    {"Label17", "Form1", {8640, 4440, 615, 495}, 18},
    {"Shape8", "Form1", {8640, 4440, 615, 495}, 0},
    {"Label19", "Form1", {8880, 5160, 735, 255}, 8.25},
    {"Line1", "Form1", {0, 4080, 9735, 15}, 0}, // (0, 4080) to (9720, 4080), ends included
    {"Command2", "Form1", {8880, 600, 615, 375}, 8.25, kHidden},
    {"Label6", "Form1", {8400, 4800, 495, 375}, 8.25, kHidden},
    {"Label7", "Form1", {8400, 4320, 495, 375}, 8.25, kHidden},
    {"Label8", "Form1", {9000, 4320, 615, 255}, 8.25, kHidden},
}};
} // namespace

class Form1Test : public QObject {
    Q_OBJECT

    std::unique_ptr<Rig> m_rig;
    QWidget* focusOn(const char* name) {
        m_rig->find(name)->setFocus(Qt::TabFocusReason);
        return m_rig->find(name);
    }
    void space() { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); }
    void expectLamps(std::initializer_list<int> beats) {
        for (const int beat : beats) {
            m_rig->fire();
            QTRY_COMPARE(m_rig->litLamps(), std::vector<int>{beat});
        }
    }

private slots:
    void init() {
        m_rig = std::make_unique<Rig>();
        QVERIFY(m_rig->startUp());
    }
    void cleanup() { m_rig.reset(); }

    // One line per control, in twips, so that a failure names the control and what differs.
    void controlsHaveTheirPlaceSizeAndFont() {
        QStringList expected;
        QStringList actual;
        for (const Place& p : kPlaces) {
            const QRect& t = p.twips;
            expected << QString::asprintf("%s in %s at %d,%d %dx%d %gpt flags %d", p.name, p.parent,
                                          t.x(), t.y(), t.width(), t.height(), p.points, p.flags);
            const QWidget* c = m_rig->find(p.name);
            const QFont font = p.points > 0 ? c->font() : QFont(); // drawn shapes have no font
            const int flags = (p.points > 0 && font.bold() ? kBold : 0) |
                              (c->isVisible() ? 0 : kHidden) | (c->isEnabled() ? 0 : kDisabled);
            const QRect g = c->geometry();
            actual << QString::asprintf("%s in %s at %d,%d %dx%d %gpt flags %d", p.name,
                                        qPrintable(c->parentWidget()->objectName()), g.x() * 15,
                                        g.y() * 15, g.width() * 15, g.height() * 15,
                                        p.points > 0 ? font.pointSizeF() : 0, flags);
            QVERIFY2(p.points == 0 || QFontInfo(font).family().contains("Sans"), p.name);
        }
        QCOMPARE(actual, expected);
    }

    void firstAppearance() {
        Rig& rig = *m_rig;
        QCOMPARE(rig.form.windowTitle(), QStringLiteral("Qo Metronome (v 1.00a)"));
        QCOMPARE(rig.form.minimumSize(), rig.form.maximumSize());
        QVERIFY(!(rig.form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(rig.form.geometry().center(), rig.form.screen()->availableGeometry().center());
        QCOMPARE(rig.find<QPushButton>("Command1")->text(), "Start/Stop (Spacebar)");
        QCOMPARE(rig.find<QPushButton>("Command3")->text(), "STOP");
        QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
        QVERIFY(rig.find<QRadioButton>("Option3")->isChecked());
        QCOMPARE(rig.find<QLineEdit>("Text1")->text(), "120");
        QCOMPARE(rig.find<QSlider>("Slider4")->value(), -800);
        QVERIFY(rig.litLamps().empty());
        // The outline over Label17 lets its clicks through.
        const QWidget* label17 = rig.find("Label17");
        QCOMPARE(rig.form.childAt(label17->geometry().center()), label17);
        // Tab visits each option group once, at its selected button, and skips the disabled STOP.
        QTRY_COMPARE(QApplication::focusWidget(), rig.find("Option1"));
        QStringList visited;
        for (int i = 0; i < 8; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited, QStringList({"Text1", "Option3", "Slider1", "Slider2", "Slider3",
                                       "Slider4", "Command1", "Option1"}));
    }

    void litLampsShowTheirColours() {
        const auto colourAt = [this](int x, int y) {
            return m_rig->form.grab().toImage().pixelColor(x, y);
        };
        const QColor face = m_rig->form.palette().color(QPalette::Window);
        QCOMPARE(colourAt(52, 160), face);
        m_rig->form.setLampLit(1, true);
        QCOMPARE(colourAt(52, 160), QColor(128, 255, 128));
        m_rig->form.setLampLit(2, true);
        QCOMPARE(colourAt(212, 160), QColor(0, 255, 0));
        QCOMPARE(colourAt(220, 140), face); // the number box stays opaque over the lit lamp
    }

    // Space, Enter and Esc reach the form before the focused control: space toggles, Enter
    // presses the focused button or else Start, Esc presses STOP. Held, space toggles on repeats.
    void keysActFromEveryFocusedControl() {
        Rig& rig = *m_rig;
        for (const char* name : {"Option1", "Text1", "Option3", "Slider1", "Slider2", "Slider3",
                                 "Slider4", "Command1"}) {
            QTest::keyClick(focusOn(name), Qt::Key_Space);
            QVERIFY2(rig.running() && rig.find("Command3")->isEnabled(), name);
            space();
            QVERIFY2(!rig.running() && !rig.armed, name);
            QTest::keyClick(focusOn(name), Qt::Key_Return);
            QVERIFY2(rig.running(), name);
            QTest::keyClick(&rig.form, Qt::Key_Escape);
            QVERIFY2(!rig.running(), name);
        }
        QTest::keyClick(focusOn("Slider1"), Qt::Key_Escape); // nothing to stop
        QTest::keyClick(focusOn("Option1"), Qt::Key_Enter);
        QTest::keyClick(focusOn("Command3"), Qt::Key_Return); // presses STOP, not Start
        QVERIFY(!rig.running());
        for (int i = 0; i < 3; ++i) {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ", i > 0);
            QApplication::sendEvent(focusOn("Slider2"), &key);
        }
        QVERIFY(rig.running());
        QCOMPARE(rig.periods.size(), std::size_t{19});
    }

    void runningLocksTheFramesButNotTheSliders() {
        Rig& rig = *m_rig;
        QTest::mouseClick(rig.find("Command1"), Qt::LeftButton);
        for (const char* locked : {"Frame1", "Frame2", "Frame3", "Option4", "Text1", "Command1"}) {
            QVERIFY2(!rig.find(locked)->isEnabled(), locked);
        }
        rig.volumes.clear();
        QTest::keyClick(focusOn("Slider2"), Qt::Key_Right);
        QTest::keyClick(focusOn("Slider4"), Qt::Key_PageDown);
        auto* slider = rig.find<QSlider>("Slider1"); // a drag reports once, where it ends
        slider->setSliderDown(true);
        slider->setValue(-2000);
        slider->setValue(-3100);
        slider->setSliderDown(false);
        QCOMPARE(rig.volumes,
                 (Volumes{{2, -799}, {4, -805}, {1, -3100}, {1, sound::kSilentLevel}}));
        QTest::mouseClick(rig.find("Command3"), Qt::LeftButton);
        for (const char* unlocked : {"Frame1", "Frame2", "Frame3", "Command1"}) {
            QVERIFY2(rig.find(unlocked)->isEnabled(), unlocked);
        }
        QVERIFY(!rig.find("Command3")->isEnabled());
    }

    // A lamp lights when its click leaves the speakers, never before, and never for a run that
    // has ended.
    void lampsFollowTheAudibleBeatsAndStaleStatesAreDropped() {
        Rig& rig = *m_rig;
        QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
        expectLamps({1, 2, 3, 4, 1});
        const std::uint64_t endedRun = rig.transport.run();
        space();
        QVERIFY(rig.litLamps().empty());
        rig.lamps.showBeat(endedRun, {false, false, true, false}, core::Clock::now());
        space();
        QTest::qWait(100);
        QVERIFY(rig.litLamps().empty());
        space();
        rig.latency = std::chrono::milliseconds(400);
        space();
        rig.fire();
        QTest::qWait(150);
        QVERIFY(rig.litLamps().empty());
        QTRY_COMPARE(rig.litLamps(), std::vector<int>{1});
    }

    void threeFourHidesBeatFourAndMovesNothing() {
        Rig& rig = *m_rig;
        std::map<QString, std::pair<QRect, bool>> before;
        for (const QWidget* child : rig.form.findChildren<QWidget*>()) {
            before[child->objectName()] = {child->geometry(), child->isVisible()};
        }
        const QStringList beatFour{"Label5", "Shape5", "Slider4", "Label12", "Label16"};
        QTest::mouseClick(rig.find("Option4"), Qt::LeftButton);
        QCOMPARE(rig.find<QLabel>("Label8")->text(), "False");
        for (const QWidget* child : rig.form.findChildren<QWidget*>()) {
            const auto& [geometry, visible] = before[child->objectName()];
            QCOMPARE(child->geometry(), geometry);
            QCOMPARE(child->isVisible(), visible && !beatFour.contains(child->objectName()));
        }
        QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
        expectLamps({1, 2, 3, 1});
        space();
        QTest::mouseClick(rig.find("Option3"), Qt::LeftButton);
        QCOMPARE(rig.find<QLabel>("Label8")->text(), "True");
        QVERIFY(rig.find("Slider4")->isVisible() && rig.find("Label5")->isVisible());
    }

    void refusedTempoReturnsFocusWithTheTextSelected() {
        auto* text1 = m_rig->find<QLineEdit>("Text1");
        text1->setText("401");
        QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
        QVERIFY(!m_rig->running());
        QCOMPARE(QApplication::focusWidget(), text1);
        QCOMPARE(text1->selectedText(), "401");
        text1->deselect(); // refused again while the box has the focus: still all selected
        QTest::keyClick(text1, Qt::Key_Return);
        QCOMPARE(text1->selectedText(), "401");
        text1->setText("400");
        QTest::keyClick(text1, Qt::Key_Return);
        QCOMPARE(m_rig->periods, std::vector<std::int32_t>{150});
    }

    // Leaving the box sets the period from digits only; Label6 keeps that of the start-up load.
    void leavingTheTempoBoxSetsThePeriodButNotLabel6() {
        auto* text1 = m_rig->find<QLineEdit>("Text1");
        QTest::keyClick(focusOn("Option1"), Qt::Key_Tab);
        QCOMPARE(text1->selectedText(), "120");
        QTest::keyClicks(text1, "6x-0");
        QTest::keyClick(text1, Qt::Key_Tab);
        QCOMPARE(m_rig->transport.state().PeriodMs, 1000);
        QCOMPARE(m_rig->find<QLabel>("Label6")->text(), "500");
    }

    // Whatever is pasted, the box keeps digits only (or refuses the paste whole); Start then
    // runs only for 1..400, and leaving the box takes a period only from a usable number.
    void pastedTempoText_data() {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("text");        // the box after the paste
        QTest::addColumn<int>("periodOnLeaving"); // PeriodMs after the focus leaves the box
        QTest::addColumn<int>("startPeriod");     // the armed period, 0 when Start refuses
        const auto refused = [](const char* name, const QString& clip) {
            QTest::newRow(name) << clip << "120" << 500 << 500;
        };
        refused("letters", "abc");
        refused("digits and letters", "60abc");
        refused("minus", "-60");
        refused("plus", "+60");
        refused("spaces around", " 60 ");
        refused("space inside", "6 0");
        refused("decimal point", "60.5");
        refused("exponent", "6e1");
        refused("newline", "6\n0");
        refused("nul", QString("6") + QChar(0) + "0");
        refused("arabic-indic digits", QString::fromUtf8("\u0666\u0660"));
        refused("fullwidth digits", QString::fromUtf8("\uFF16\uFF10"));
        refused("devanagari digits", QString::fromUtf8("\u096C\u0966"));
        refused("emoji", QString::fromUtf8("\U0001F3B5"));
        const QString thirtyDigits = "123456789012345678901234567890";
        QTest::newRow("30 digits") << thirtyDigits << thirtyDigits << 500 << 0;
        QTest::newRow("empty clipboard") << ""
                                         << "" << 500 << 0;
        QTest::newRow("zero") << "0"
                              << "0" << 500 << 0;
        QTest::newRow("period under 1 ms") << "1000000"
                                           << "1000000" << 500 << 0;
        QTest::newRow("over 400") << "401"
                                  << "401" << 150 << 0;
        QTest::newRow("leading zeros") << "00060"
                                       << "00060" << 1000 << 1000;
    }
    void pastedTempoText() {
        QFETCH(QString, clip);
        QFETCH(QString, text);
        QFETCH(int, periodOnLeaving);
        QFETCH(int, startPeriod);
        Rig& rig = *m_rig;
        auto* text1 = rig.find<QLineEdit>("Text1");
        focusOn("Text1"); // selects "120", so the paste replaces it
        QGuiApplication::clipboard()->setText(clip);
        QTest::keyClick(text1, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(text1->text(), text);
        QTest::keyClick(text1, Qt::Key_Tab);
        QCOMPARE(rig.transport.state().PeriodMs, periodOnLeaving);
        QTest::mouseClick(rig.find("Command1"), Qt::LeftButton);
        if (startPeriod != 0) {
            QVERIFY(rig.running());
            QCOMPARE(rig.periods, std::vector<std::int32_t>{startPeriod});
        } else {
            QVERIFY(!rig.running() && rig.periods.empty());
            QCOMPARE(QApplication::focusWidget(), text1);
            QCOMPARE(text1->selectedText(), text);
        }
    }

    // With no browser to be had, a click on the home-page label does nothing visible: no box,
    // at most a line of log per click, and the window keeps working.
    void homePageWithoutABrowserBreaksNothing() {
        Rig& rig = *m_rig;
        const QByteArray path = qgetenv("PATH");
        const bool hadBrowser = qEnvironmentVariableIsSet("BROWSER");
        const QByteArray browser = qgetenv("BROWSER");
        const QTemporaryDir noPrograms;
        qputenv("PATH", noPrograms.path().toLocal8Bit());
        qunsetenv("BROWSER");
        QVERIFY(!QDesktopServices::openUrl(QUrl(QStringLiteral(METRONOME_HOME_PAGE_FOR_TESTS))));
        static int messages = 0;
        messages = 0;
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString&) { ++messages; });
        constexpr int kClicks = 5;
        for (int i = 0; i < kClicks; ++i) {
            QTest::mouseClick(rig.find("Label17"), Qt::LeftButton);
        }
        QTest::qWait(200);
        qInstallMessageHandler(previous);
        qputenv("PATH", path);
        if (hadBrowser) {
            qputenv("BROWSER", browser);
        }
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        // The opener's own complaint shows that the clicks reached it.
        QVERIFY2(messages >= 1 && messages <= kClicks, qPrintable(QString::number(messages)));
        QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
        expectLamps({1, 2});
        space();
        QVERIFY(!rig.running() && rig.litLamps().empty());
    }

    // At the scale this runs at (QT_SCALE_FACTOR; CTest runs it at 1, 1.25, 1.5 and 2): every
    // caption fits the room its control's style leaves it, a lit lamp is drawn on the device's
    // pixels (an outline equally thick on every side, no blended colours), and the window icon
    // has its own drawing at this scale.
    void sharpAndUnclippedAtThisScale() {
        QStringList clipped;
        for (QWidget* control : m_rig->form.findChildren<QWidget*>()) {
            const auto* button = qobject_cast<QAbstractButton*>(control);
            const auto* label = qobject_cast<QLabel*>(control);
            const QString text = button ? button->text() : label ? label->text() : QString();
            QStyleOptionButton option; // an option's text has the room beside its indicator
            option.initFrom(control);
            const QRect room = qobject_cast<QRadioButton*>(control)
                                   ? control->style()->subElementRect(
                                         QStyle::SE_RadioButtonContents, &option, control)
                                   : control->contentsRect();
            const QSizeF need = QFontMetricsF(control->font(), control).size(0, text);
            if (control->isVisible() && !text.isEmpty() &&
                (need.width() > room.width() || need.height() > room.height())) {
                clipped << text + QStringLiteral(" %1/%2").arg(need.width()).arg(room.width());
            }
        }
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("; "))));

        auto* lamp = m_rig->find<Shape>("Shape2");
        lamp->setLit(true);
        const QImage image = lamp->grab().toImage();
        const auto band = [&](QPoint at, QPoint step) {
            int width = 0;
            while (image.pixelColor(at + width * step) == lamp->outlineColour()) {
                ++width;
            }
            return width;
        };
        const QPoint end(image.width() - 1, image.height() - 1);
        const int side = band({0, end.y() / 2}, {1, 0});
        QVERIFY(side > 0 && band({end.x(), end.y() / 2}, {-1, 0}) == side &&
                band({end.x() / 2, 0}, {0, 1}) == side &&
                band({end.x() / 2, end.y()}, {0, -1}) == side);
        const auto* pixels = reinterpret_cast<const QRgb*>(image.constBits());
        QCOMPARE(QSet<QRgb>(pixels, pixels + image.sizeInBytes() / 4).size(), 2);
        const qreal ratio = m_rig->form.devicePixelRatioF(); // the icon at 16 and 32 px, scaled
        const QList<QSize> icons = m_rig->form.windowIcon().availableSizes();
        QVERIFY(icons.contains(QSize(16, 16) * ratio) && icons.contains(QSize(32, 32) * ratio));
    }

    void reloadAppliesTheSlidersAndAFailedOneKeepsTheOldSound() {
        Rig& rig = *m_rig;
        rig.find<QSlider>("Slider3")->setValue(-3200);
        rig.volumes.clear();
        QTest::mouseClick(rig.find("Option2"), Qt::LeftButton);
        QCOMPARE(rig.loaded(), sound::VoiceSound::HiHat);
        QCOMPARE(rig.volumes, (Volumes{{1, 0}, {2, -800}, {3, -3200}, {4, -800}}));
        QTest::keyClick(rig.find("Option2"), Qt::Key_Left); // arrow keys select too
        QCOMPARE(rig.loaded(), sound::VoiceSound::Click);
        rig.failing = sound::VoiceSound::HiHat;
        rig.volumes.clear();
        BoxAnswerer answer;
        QTest::mouseClick(rig.find("Option2"), Qt::LeftButton);
        QVERIFY2(answer.seen.contains("hat.wav"), qPrintable(answer.seen));
        QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
        QCOMPARE(rig.loaded(), sound::VoiceSound::Click);
        QVERIFY(rig.volumes.empty() && rig.hasVoice(1));
    }
};

METRONOME_WINDOW_TEST_MAIN(Form1Test)
#include "Form1Test.moc"
