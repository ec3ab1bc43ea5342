#pragma once

#include <metro/core/TransportView.h>

#include <string>
#include <string_view>
#include <vector>

namespace metro::testsupport {

/// The controls the transport drives, for programs with no window: the tempo box holds a fixed
/// tempo, every other control is ignored, and errors are kept for the caller to check.
class FixedTempoView final : public core::TransportView {
public:
    explicit FixedTempoView(int bpm) : m_tempo(std::to_string(bpm)) {}
    std::string tempoText() const override { return m_tempo; }
    void focusTempo() override {}
    void setPeriodCaption(std::string_view) override {}
    void setButtonEnabled(core::TransportButton, bool) override {}
    void setFrameEnabled(core::SettingsFrame, bool) override {}
    void setLampLit(int, bool) override {}
    void reportError(std::string_view message) override { errors.emplace_back(message); }

    std::vector<std::string> errors;

private:
    std::string m_tempo;
};

} // namespace metro::testsupport
