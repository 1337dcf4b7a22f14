#pragma once
// Ownership of GLib and GObject values. Only platform .cpp files include this;
// no other code in the platform layer calls g_object_unref or g_free directly.

#include <glib-object.h>

#include <memory>
#include <utility>

namespace sv::platform {

// A strong reference to a GObject. Constructing from a raw pointer sinks a
// floating reference (new widgets) or adds one; adopt() takes over a
// reference returned with full transfer.
template <typename T>
class GRef {
public:
    GRef() = default;
    explicit GRef(T* object) : ptr_(object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr) {}
    static GRef adopt(T* object)
    {
        GRef ref;
        ref.ptr_ = object;
        return ref;
    }
    GRef(const GRef& other) : ptr_(other.ptr_ ? static_cast<T*>(g_object_ref(other.ptr_)) : nullptr) {}
    GRef(GRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    GRef& operator=(GRef other) noexcept
    {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~GRef()
    {
        if (ptr_)
            g_object_unref(ptr_);
    }
    T* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    T* ptr_ = nullptr;
};

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
struct GErrorDeleter {
    void operator()(GError* e) const
    {
        if (e)
            g_error_free(e);
    }
};
struct GBytesDeleter {
    void operator()(GBytes* b) const
    {
        if (b)
            g_bytes_unref(b);
    }
};
struct GUriDeleter {
    void operator()(GUri* u) const
    {
        if (u)
            g_uri_unref(u);
    }
};
struct GMarkupParseContextDeleter {
    void operator()(GMarkupParseContext* c) const
    {
        if (c)
            g_markup_parse_context_free(c);
    }
};

using GCharPtr = std::unique_ptr<char, GFreeDeleter>;
using GBytePtr = std::unique_ptr<guchar, GFreeDeleter>;
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;
using GBytesPtr = std::unique_ptr<GBytes, GBytesDeleter>;
using GUriPtr = std::unique_ptr<GUri, GUriDeleter>;
using GMarkupParseContextPtr = std::unique_ptr<GMarkupParseContext, GMarkupParseContextDeleter>;

} // namespace sv::platform
