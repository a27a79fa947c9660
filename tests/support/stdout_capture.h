/*
 * stdout_capture.h - captures everything written to standard output.
 *
 * While `body` runs, file descriptor 1 points at a temporary file, so every
 * byte written through stdio, std::cout or write(1, ...) is kept exactly,
 * from any thread. Only what reached the file by the time `body` returned
 * counts: output the code left in stdio's buffer is dropped, so a missing
 * flush shows. Keep gtest assertions out of `body`: their messages would be
 * captured too. Captures do not nest.
 */
#ifndef TESTSUPPORT_STDOUT_CAPTURE_H
#define TESTSUPPORT_STDOUT_CAPTURE_H

#include <functional>
#include <string>

namespace testsupport {

std::string captureStdout(const std::function<void()>& body);

} // namespace testsupport

#endif /* TESTSUPPORT_STDOUT_CAPTURE_H */
