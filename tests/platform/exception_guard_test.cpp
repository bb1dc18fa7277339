#include "platform/exception_guard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

class QuietStop : public std::exception, public platform::SilentException {
public:
    const char* what() const noexcept override { return "must never be shown"; }
};

// A silent exception that is not a std::exception at all.
struct BareQuiet : platform::SilentException {};

struct Recorder {
    Recorder() {
        previous =
            platform::setExceptionPresenter([this](const std::string& m) { shown.push_back(m); });
    }
    ~Recorder() { platform::setExceptionPresenter(previous); }
    std::vector<std::string> shown;
    platform::ExceptionPresenter previous;
};

} // namespace

TEST(ExceptionGuard, SilentExceptionsPassQuietlyAndOthersAreShownOnce) {
    Recorder rec;
    platform::runGuarded([] { throw QuietStop(); });
    platform::runGuarded([] { throw BareQuiet(); });
    EXPECT_TRUE(rec.shown.empty());

    // The guard still reports everything else, and a silent one in between loses nothing.
    platform::runGuarded([] { throw std::runtime_error("line lost"); });
    platform::guarded([] { throw QuietStop(); })();
    platform::guarded([](int) { throw 42; })(1);
    EXPECT_EQ(rec.shown, (std::vector<std::string>{"line lost", "An unexpected error occurred."}));
}
