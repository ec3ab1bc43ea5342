#include "metro/sound/OfflineOutput.h"

namespace metro::sound {

OfflineOutput::OfflineOutput(int sampleRate, std::size_t bufferFrames)
    : m_sampleRate(sampleRate), m_bufferFrames(bufferFrames), m_buffer(2 * bufferFrames) {}

void OfflineOutput::open(AudioSource& source) {
    m_source = &source;
}

void OfflineOutput::close() {
    m_source = nullptr;
}

void OfflineOutput::pull(core::TimePoint callbackTime) {
    if (m_source == nullptr) {
        return;
    }
    m_source->render(m_buffer.data(), m_bufferFrames, callbackTime);
    m_recording.insert(m_recording.end(), m_buffer.begin(), m_buffer.end());
}

} // namespace metro::sound
