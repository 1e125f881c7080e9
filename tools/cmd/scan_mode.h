// SPDX-License-Identifier: BSD-2-Clause
/* zombie-watch --scan: read /proc once, and say what holds each zombie. */
#ifndef ZOMBIE_SCAN_MODE_H
#define ZOMBIE_SCAN_MODE_H

#include <optional>
#include <string>

/* Writes the scan, as text or JSON, to output or standard output, and
 * returns the exit status. */
int scan_main(bool json, const std::optional<std::string> &output);

#endif
