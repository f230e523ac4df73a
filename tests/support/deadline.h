// A point in time a bounded wait must not pass: every wait in the helpers
// counts down from one, so none of them can hang a test.
#ifndef ZQ_TEST_DEADLINE_H
#define ZQ_TEST_DEADLINE_H

#include <chrono>

namespace zqtest {

class Deadline {
public:
    explicit Deadline(long ms) : m_end(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    // Milliseconds until the deadline, 0 once it has passed (a poll timeout).
    int MsLeft() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - std::chrono::steady_clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(left.count());
    }
    bool Passed() const { return std::chrono::steady_clock::now() >= m_end; }

private:
    std::chrono::steady_clock::time_point m_end;
};

}  // namespace zqtest

#endif
