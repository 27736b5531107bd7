// One owner for every resource that is given back by calling a function on it: a
// module handle (FreeLibrary), a PC/SC context (SCardReleaseContext), a buffer the system
// allocated (LocalFree), a description borrowed from a type library (ReleaseTLibAttr on
// that library). It holds the value and the way to release it, releases it exactly once,
// moves and cannot be copied.
//
// Whether it holds something is kept apart from the value, since not every kind of
// handle has a value that means "none" (a PC/SC context may be any number). Where one
// has (a null module handle, INVALID_HANDLE_VALUE), the way to release it says so with a
// static none(value), and such a value, the result of a failed call, is never held.
#pragma once

#include <type_traits>
#include <utility>

namespace czqic {

template <class R, class Release>
class UniqueResource {
  public:
    // Holds nothing.
    UniqueResource() = default;
    // Holds resource, released with release, unless release calls it none.
    explicit UniqueResource(R resource, Release release = Release()) noexcept
        : resource_(std::move(resource)), release_(std::move(release)), held_(!none(resource_)) {}

    UniqueResource(UniqueResource&& other) noexcept
        : resource_(std::move(other.resource_)),
          release_(std::move(other.release_)),
          held_(std::exchange(other.held_, false)) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset();
            resource_ = std::move(other.resource_);
            release_ = std::move(other.release_);
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;  // released once, by its one owner
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    // Whether it holds a resource.
    bool valid() const noexcept { return held_; }
    explicit operator bool() const noexcept { return held_; }
    const R& get() const noexcept { return resource_; }
    // For a resource that is a pointer to a structure (a type library's attributes).
    R operator->() const noexcept requires std::is_pointer_v<R> { return resource_; }

    // Releases what is held; holds nothing after.
    void reset() noexcept {
        if (std::exchange(held_, false)) release_(resource_);
    }
    // Releases what is held and holds resource instead, released the same way.
    void reset(R resource) noexcept {
        reset();
        resource_ = std::move(resource);
        held_ = !none(resource_);
    }
    // Hands the resource to the caller, who releases it from now on.
    R release() noexcept {
        held_ = false;
        return std::move(resource_);
    }

  private:
    static bool none(const R& resource) {
        if constexpr (requires { Release::none(resource); })
            return Release::none(resource);
        else
            return false;
    }

    R resource_{};
    Release release_{};
    bool held_ = false;
};

// The release of a resource that one function gives back on its own, and the values of
// that kind that mean none: UniqueResource<HMODULE, ReleasedBy<FreeLibrary, nullptr>>.
template <auto function, auto... no_resource>
struct ReleasedBy {
    template <class R>
    void operator()(const R& resource) const noexcept {
        function(resource);
    }
    template <class R>
    static bool none(const R& resource) requires(sizeof...(no_resource) > 0) {
        return ((resource == no_resource) || ...);
    }
};

// For a function that hands out a resource through a pointer: out_param(owner) lets go of
// what owner holds and gives the function a place to write, and owner holds what was
// written (unless it is none) once the call's full expression is over.
template <class R, class Release>
class OutParam {
    static_assert(
        requires(const R& resource) { Release::none(resource); },
        "a failed call's value would be held: the release must say which is none");

  public:
    explicit OutParam(UniqueResource<R, Release>& owner) : owner_(owner) { owner_.reset(); }
    ~OutParam() { owner_.reset(std::move(value_)); }
    OutParam(const OutParam&) = delete;  // one place, adopted once
    OutParam& operator=(const OutParam&) = delete;
    operator R*() noexcept { return &value_; }

  private:
    UniqueResource<R, Release>& owner_;
    R value_{};
};

template <class R, class Release>
OutParam<R, Release> out_param(UniqueResource<R, Release>& owner) {
    return OutParam<R, Release>(owner);
}

}  // namespace czqic
