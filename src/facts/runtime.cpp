// Two throw helpers of the C++ runtime, defined here.
//
// The standard headers call them (string_view::substr on a bad position,
// an allocator asked for more elements than fit in a size), and today's
// runtime exports them under symbol versions newer than manylinux2014
// promises (GLIBCXX_3.4.20 and 3.4.29): a helper that referenced them would
// need a newer C++ runtime than the wheel may ask of a host. Defined in the
// helper, they are bound here at link time, and what the helper needs of the
// runtime stays at GLIBCXX_3.4.19. They throw what the runtime's would
// (std::bad_alloc stands for std::bad_array_new_length, whose type is as new),
// and the module's handler turns that into the Python exception.
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <new>

namespace {

class OutOfRange final : public std::exception {
  public:
    OutOfRange(const char *format, std::va_list args) noexcept {
        std::vsnprintf(what_, sizeof what_, format, args);
    }
    const char *what() const noexcept override { return what_; }

  private:
    char what_[200];
};

}  // namespace

namespace std {

[[noreturn]] void __throw_out_of_range_fmt(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    OutOfRange error(format, args);
    va_end(args);
    throw error;
}

[[noreturn]] void __throw_bad_array_new_length() { throw std::bad_alloc(); }

}  // namespace std
