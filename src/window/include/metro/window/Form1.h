#pragma once

#include "metro/core/Clock.h"
#include "metro/core/Transport.h"
#include "metro/core/TransportView.h"
#include "metro/sound/SoundService.h"
#include "metro/window/LampRelay.h"
#include "metro/window/VoiceLoader.h"

#include <QTimer>
#include <QWidget>

#include <array>
#include <string>
#include <string_view>

class QCloseEvent;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;

namespace metro::window {

class Shape;

/// The metronome's window. Its controls carry their form names as objectName
/// ("Command1", "Slider3", "Shape2", ...). It shows the transport's states, relays every
/// control event to the transport, the voices or the sound service, and lights the beat lamps
/// when their clicks become audible. Window thread only.
class Form1 final : public QWidget, public core::TransportView {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Qo Metronome (v 1.00a)";
    static constexpr const char* kDeviceMessage =
        "Unable to initialize DirectSound - sound card may not be present";

    /// Builds the window in its first state. Attaches itself to the transport as its view;
    /// `lamps` must be the display the transport sends its lamp states to.
    Form1(core::Transport& transport, sound::SoundService& sound, VoiceLoader& voices,
          LampRelay& lamps, QWidget* parent = nullptr);
    ~Form1() override;
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    /// Makes the tempo box digits-only and opens the sound device, then arms the start-up
    /// timer. When the device cannot be opened it shows the device message and returns false;
    /// the caller then ends the program without showing the window. Once open, the caption
    /// ends in " - no sound" whenever the device is lost, checked twice a second.
    bool Form_Load(); // NOLINT(readability-identifier-naming): Control_Event handler name

    std::string tempoText() const override;
    void focusTempo() override;
    void setPeriodCaption(std::string_view digits) override;
    void setButtonEnabled(core::TransportButton button, bool enabled) override;
    void setFrameEnabled(core::SettingsFrame frame, bool enabled) override;
    void setLampLit(int beat, bool lit) override;
    void reportError(std::string_view message) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Layout (Form1Layout.cpp)
    void buildLayout();
    void buildFrames();
    void buildLamps();
    void buildSliders();
    void buildPanels();
    void buildHidden();
    void stackDrawnElements();
    void setTabOrder();
    void connectControls();
    void connectSlider(int beat, void (Form1::*handler)());

    // Start-up and shut-down (Form1Lifecycle.cpp)
    void Timer1_Timer(); // NOLINT(readability-identifier-naming): Control_Event handler name
    void Loadfirst();    // NOLINT(readability-identifier-naming): kept as the form's procedure name
    void Form_Unload();  // NOLINT(readability-identifier-naming): Control_Event handler name
    void showSoundState();

    // Handlers (Form1Handlers.cpp)
    void Form_KeyDown(const QKeyEvent& event); // NOLINT(readability-identifier-naming)
    bool previewKey(QObject* watched, const QKeyEvent& event);
    void Command1_Click();  // NOLINT(readability-identifier-naming): Control_Event handler name
    void Command2_Click();  // NOLINT(readability-identifier-naming): Control_Event handler name
    void Command3_Click();  // NOLINT(readability-identifier-naming): Control_Event handler name
    void Text1_GotFocus();  // NOLINT(readability-identifier-naming): Control_Event handler name
    void Text1_LostFocus(); // NOLINT(readability-identifier-naming): Control_Event handler name
    void Option1_Click();   // NOLINT(readability-identifier-naming): Control_Event handler name
    void Option2_Click();   // NOLINT(readability-identifier-naming): Control_Event handler name
    void Option3_Click();   // NOLINT(readability-identifier-naming): Control_Event handler name
    void Option4_Click();   // NOLINT(readability-identifier-naming): Control_Event handler name
    void Slider1_Change();  // NOLINT(readability-identifier-naming): Control_Event handler name
    void Slider2_Change();  // NOLINT(readability-identifier-naming): Control_Event handler name
    void Slider3_Change();  // NOLINT(readability-identifier-naming): Control_Event handler name
    void Slider4_Change();  // NOLINT(readability-identifier-naming): Control_Event handler name
    void Label17_Click();   // NOLINT(readability-identifier-naming): Control_Event handler name
    static void AutoSelectText(QLineEdit& editControl); // NOLINT(readability-identifier-naming)
    void chooseSound(sound::VoiceSound sound);
    void chooseSignature(bool fourFour);
    void showLoadedSound();
    void selectSignature(bool fourFour);
    void showSignature(bool fourFour);
    void changeLevel(int beat);

    // Lamps in step with the sound (Form1Lamps.cpp)
    void followTransport();
    void drainLamps();
    void scheduleLamps(core::TimePoint now);
    void showLamps(const std::array<bool, core::kBeatCount>& lamps);

    core::Transport& m_transport;
    sound::SoundService& m_sound;
    VoiceLoader& m_voices;
    LampRelay& m_lampRelay;

    QGroupBox* m_frame1 = nullptr;
    QGroupBox* m_frame2 = nullptr;
    QGroupBox* m_frame3 = nullptr;
    QRadioButton* m_option1 = nullptr;
    QRadioButton* m_option2 = nullptr;
    QRadioButton* m_option3 = nullptr;
    QRadioButton* m_option4 = nullptr;
    QLineEdit* m_text1 = nullptr;
    QPushButton* m_command1 = nullptr;
    QPushButton* m_command2 = nullptr;
    QPushButton* m_command3 = nullptr;
    std::array<Shape*, core::kBeatCount> m_lamps{};
    std::array<QLabel*, core::kBeatCount> m_beatNumbers{};
    std::array<QSlider*, core::kBeatCount> m_sliders{};
    QLabel* m_label6 = nullptr;
    QLabel* m_label8 = nullptr;
    QLabel* m_label12 = nullptr;
    QLabel* m_label16 = nullptr;
    QLabel* m_label17 = nullptr;
    QTimer m_timer1;
    QTimer m_lampTimer;
    QTimer m_soundStateTimer;
    core::TimePoint m_nextBeat{};
    bool m_loaded = false;
    bool m_unloaded = false;
};

} // namespace metro::window
