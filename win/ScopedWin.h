// Ownership of Win32 handles: one move-only template with a closer per kind,
// so every early return gives back what was taken.
#pragma once

#include <windows.h>

#include <objbase.h>

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

// The service control manager's handles, of the manager and of a service alike.
inline void CloseService(SC_HANDLE handle) {
    ::CloseServiceHandle(handle);
}
using ScopedServiceHandle = Scoped<SC_HANDLE, NullTraits<SC_HANDLE, CloseService>>;

inline void CloseRegistryKey(HKEY key) {
    ::RegCloseKey(key);
}
using ScopedRegistryKey = Scoped<HKEY, NullTraits<HKEY, CloseRegistryKey>>;
inline void DeleteFontObject(HFONT font) {
    ::DeleteObject(font);
}
inline void DeleteBitmapObject(HBITMAP bitmap) {
    ::DeleteObject(bitmap);
}
using ScopedFont = Scoped<HFONT, NullTraits<HFONT, DeleteFontObject>>;
using ScopedBitmap = Scoped<HBITMAP, NullTraits<HBITMAP, DeleteBitmapObject>>;

// A memory device context (CreateCompatibleDC).
inline void DeleteMemoryDC(HDC dc) {
    ::DeleteDC(dc);
}
using ScopedMemoryDC = Scoped<HDC, NullTraits<HDC, DeleteMemoryDC>>;

// A window's device context (GetDC; null: the screen's), given back to the
// window it came from.
class ScopedWindowDC {
  public:
    explicit ScopedWindowDC(HWND window) : window_(window), dc_(::GetDC(window)) {}
    ~ScopedWindowDC() {
        if (dc_ != nullptr) {
            ::ReleaseDC(window_, dc_);
        }
    }
    ScopedWindowDC(const ScopedWindowDC&) = delete;
    ScopedWindowDC& operator=(const ScopedWindowDC&) = delete;

    HDC get() const { return dc_; }
    explicit operator bool() const { return dc_ != nullptr; }

  private:
    HWND window_;
    HDC dc_;
};

// An object selected into a device context; the one it replaced goes back
// in at the end, so that the object can be deleted and the context freed.
class ScopedSelection {
  public:
    ScopedSelection(HDC dc, HGDIOBJ object)
        : dc_(dc), old_(dc != nullptr && object != nullptr ? ::SelectObject(dc, object) : nullptr) {
    }
    ~ScopedSelection() {
        if (old_ != nullptr && old_ != HGDI_ERROR) {
            ::SelectObject(dc_, old_);
        }
    }
    ScopedSelection(const ScopedSelection&) = delete;
    ScopedSelection& operator=(const ScopedSelection&) = delete;

  private:
    HDC dc_;
    HGDIOBJ old_;
};

template <typename I> void ReleaseComObject(I* object) {
    object->Release();
}

// A COM interface pointer, released once.
template <typename I> class ScopedCom : public Scoped<I*, NullTraits<I*, ReleaseComObject<I>>> {
  public:
    using Scoped<I*, NullTraits<I*, ReleaseComObject<I>>>::Scoped;
    I* operator->() const { return this->get(); }
};

// An object of class `clsid` in this process through its interface `iid`;
// empty where the system lacks the class or the interface.
template <typename I> ScopedCom<I> CreateInProcess(REFCLSID clsid, REFIID iid) {
    I* object = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid,
                                reinterpret_cast<void**>(&object)))) {
        return {};
    }
    return ScopedCom<I>(object);
}

} // namespace win
