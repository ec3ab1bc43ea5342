#pragma once

#include "ChildProcess.h"

#include <filesystem>
#include <string>

namespace metro::testsupport {

/// An Xvfb display of its own, stopped when this goes. Its output goes to `xvfb.out` in `dir`.
class XvfbDisplay {
public:
    /// Starts Xvfb with one screen of `screen` (WIDTHxHEIGHTxDEPTH) and waits up to 10 s for it
    /// to take clients; `name()` is empty if it did not.
    explicit XvfbDisplay(const std::filesystem::path& dir,
                         const std::string& screen = "1024x768x24");
    /// The display's name, such as ":1".
    const std::string& name() const { return m_name; }

private:
    ChildProcess m_xvfb;
    std::string m_name;
};

} // namespace metro::testsupport
