// SPDX-License-Identifier: BSD-2-Clause
/* What zombie-watch --scan reads of /proc, into a plain Scan. */
#ifndef ZOMBIE_SCAN_PROC_H
#define ZOMBIE_SCAN_PROC_H

#include <optional>

#include "core/scan.h"

/* Reads /proc; nothing if it cannot be read at all. */
std::optional<Scan> scan_read();

#endif
