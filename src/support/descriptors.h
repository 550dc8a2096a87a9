// Descriptors that the tool opens never become standard input, output or
// error: with one of those closed, open(2) would hand out its number, and
// the report would land in the mapfile, or a read in the report.
#pragma once

// `fd` itself, or a copy of it numbered 3 or more (close-on-exec) where it is
// 0, 1 or 2, which is then closed; -1 (errno set) where `fd` is -1 or no
// copy can be had.
int off_standard_streams(int fd);
