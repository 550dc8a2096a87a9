// A claim's bytes mapped from the image, read-only, with their pages brought
// in at once, and a guard for checking them: a file cut short under a
// mapping raises SIGBUS where its pages are touched, which must end the
// claim, not the tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

class MappedPages {
public:
    // Maps the `length` bytes at `offset` of `fd` (from the page they begin
    // in) and brings their pages in. ok() is false, and error() says why,
    // where they cannot be mapped or brought in (EFAULT: the file no longer
    // holds them all).
    MappedPages(int fd, std::uint64_t offset, std::size_t length);
    ~MappedPages();
    MappedPages(const MappedPages&) = delete;
    MappedPages& operator=(const MappedPages&) = delete;

    bool ok() const { return base_ != nullptr; }
    int error() const { return error_; }
    // The byte at `offset`.
    const unsigned char* data() const { return base_ + lead_; }

private:
    unsigned char* base_ = nullptr;
    std::size_t lead_ = 0;   // bytes of the first page before `offset`
    std::size_t length_ = 0; // of the whole mapping
    int error_ = 0;
};

// Runs `check`, which touches only the `length` bytes at `from`, of a
// mapping: true when it ran to its end; false when one of those pages was
// gone (SIGBUS), which ended it there, at once. Whatever `check` changed is
// then to be undone by the caller. A SIGBUS anywhere else kills the tool as
// it would without this. Each thread guards its own check.
bool run_guarded(const unsigned char* from, std::size_t length, const std::function<void()>& check);
