// A very small test harness for the codec core: named test cases registered at static
// initialisation, CHECK/CHECK_EQ that report and carry on, and a context stack so that a
// failure inside a table loop says which row it was.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace qv::check {

struct Case {
    const char* name;
    std::function<void()> body;
};

std::vector<Case>& registry();
// Counts a failed check of the running case and prints it with the current context.
void fail(const char* file, int line, const std::string& what);
std::vector<std::string>& context();

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

// Names the table row being checked while it is in scope.
class Scope {
public:
    template <typename... Parts>
    explicit Scope(const Parts&... parts)
    {
        std::ostringstream text;
        ((text << parts), ...);
        context().push_back(text.str());
    }
    ~Scope() { context().pop_back(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

template <typename T>
std::string show(const T& v)
{
    std::ostringstream text;
    if constexpr (std::is_same_v<T, uint8_t> || std::is_same_v<T, int8_t>) text << int{v};
    else if constexpr (std::is_enum_v<T>) text << static_cast<long long>(v);
    else text << v;
    return text.str();
}

template <typename A, typename B>
bool check_eq(const A& a, const B& b, const char* file, int line, const char* sa, const char* sb)
{
    if (a == b) return true;
    fail(file, line, std::string(sa) + " == " + sb + " (" + show(a) + " vs " + show(b) + ")");
    return false;
}

}  // namespace qv::check

#define QV_CAT2(a, b) a##b
#define QV_CAT(a, b) QV_CAT2(a, b)
#define TEST_CASE(name)                                                                  \
    static void QV_CAT(test_, __LINE__)();                                               \
    static const ::qv::check::Register QV_CAT(register_, __LINE__)(name, &QV_CAT(test_, __LINE__)); \
    static void QV_CAT(test_, __LINE__)()
#define CHECK(cond) ((cond) ? true : (::qv::check::fail(__FILE__, __LINE__, #cond), false))
#define CHECK_EQ(a, b) ::qv::check::check_eq((a), (b), __FILE__, __LINE__, #a, #b)
