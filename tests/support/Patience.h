#pragma once

namespace testsupport {

// How long a test waits for what happens in real time (an X server's
// answers, the kernel's events, a child process, a local server): it comes
// far sooner, unless the machine is loaded. A wait returns as soon as it
// comes, so the bound costs a passing test nothing.
inline constexpr int kPatience = 20000;   // ms

} // namespace testsupport
