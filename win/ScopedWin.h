// Ownership of Win32 handles: one move-only template with a closer per kind,
// so every early return gives back what was taken.
#pragma once

#include <windows.h>

#include <utility>

namespace win {

template <typename H, typename Traits> class Scoped {
  public:
    Scoped() = default;
    explicit Scoped(H h) : h_(h) {}
    ~Scoped() { reset(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    Scoped(Scoped&& other) noexcept : h_(std::exchange(other.h_, Traits::none())) {}
    Scoped& operator=(Scoped&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.h_, Traits::none()));
        }
        return *this;
    }

    H get() const { return h_; }
    bool valid() const { return Traits::valid(h_); }
    explicit operator bool() const { return valid(); }
    H release() { return std::exchange(h_, Traits::none()); }
    void reset(H h = Traits::none()) {
        if (Traits::valid(h_)) {
            Traits::close(h_);
        }
        h_ = h;
    }

  private:
    H h_ = Traits::none();
};

// File handles fail as INVALID_HANDLE_VALUE, most others as null: treat both
// as "no handle".
struct KernelHandleTraits {
    static HANDLE none() { return nullptr; }
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};

template <typename H, auto Closer> struct NullTraits {
    static H none() { return nullptr; }
    static bool valid(H h) { return h != nullptr; }
    static void close(H h) { Closer(h); }
};

using ScopedHandle = Scoped<HANDLE, KernelHandleTraits>;
inline void DeleteFontObject(HFONT font) {
    ::DeleteObject(font);
}
inline void DeleteBitmapObject(HBITMAP bitmap) {
    ::DeleteObject(bitmap);
}
using ScopedFont = Scoped<HFONT, NullTraits<HFONT, DeleteFontObject>>;
using ScopedBitmap = Scoped<HBITMAP, NullTraits<HBITMAP, DeleteBitmapObject>>;

} // namespace win
