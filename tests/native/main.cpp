#include "check.hpp"

#include <cstring>

namespace qv::check {

namespace {
int failures_in_case = 0;
constexpr int kReportedPerCase = 10;  // a broken kernel fails thousands of rows: show a few
}  // namespace

std::vector<Case>& registry()
{
    static std::vector<Case> cases;
    return cases;
}

std::vector<std::string>& context()
{
    static std::vector<std::string> stack;
    return stack;
}

void fail(const char* file, int line, const std::string& what)
{
    if (++failures_in_case > kReportedPerCase) return;
    std::fprintf(stderr, "  %s:%d: CHECK failed: %s\n", file, line, what.c_str());
    for (const std::string& row : context()) std::fprintf(stderr, "    in %s\n", row.c_str());
}

}  // namespace qv::check

// quorvex_native_tests [SUBSTRING]: runs every case (or those whose name holds SUBSTRING).
int main(int argc, char** argv)
{
    using namespace qv::check;
    const char* only = argc > 1 ? argv[1] : nullptr;
    int passed = 0;
    int failed = 0;
    for (const Case& c : registry()) {
        if (only != nullptr && std::strstr(c.name, only) == nullptr) continue;
        failures_in_case = 0;
        c.body();
        if (failures_in_case == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s (%d failed checks)\n", c.name, failures_in_case);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
