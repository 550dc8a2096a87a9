// What the file system libraries would print on their own, held back while
// they work and said as the tool's own messages: libudfread writes to
// standard error, libcdio to its log handler.
#pragma once

#include <cdio/logging.h>

#include <string>
#include <vector>

class LibraryMessages {
public:
    // Holds back what the libraries say from here on.
    LibraryMessages();
    // Lets them speak again; what was held back and not noted is dropped.
    ~LibraryMessages();
    LibraryMessages(const LibraryMessages&) = delete;
    LibraryMessages& operator=(const LibraryMessages&) = delete;

    // The lines held back so far, escaped, each as "LIBRARY: LINE", for the
    // tool to say; a garbled file system may make a library say much, so
    // there are a few at most.
    std::vector<std::string> take(const char* library);

private:
    void release();

    int saved_stderr_ = -1;
    int held_ = -1; // a memory file standing in for standard error
    bool released_ = false;
    std::vector<std::string> lines_;
    cdio_log_handler_t previous_log_handler_ = nullptr;
};
