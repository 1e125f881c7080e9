// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch --scan in words and in JSON, from a Scan alone, so that each
 * case can be printed from a Scan made by hand.
 */
#ifndef ZOMBIE_REPORT_SCAN_H
#define ZOMBIE_REPORT_SCAN_H

#include <string>

#include "core/scan.h"

/* Folded to width, as the watcher's reasons are. */
std::string scan_text(const Scan &scan, int width);
/* One JSON object, with the same groups and evidence as the text. */
std::string scan_json(const Scan &scan);
/*
 * One zombie, as --pid is given it: why its parent, which the scan found
 * holding it, has not collected it.
 */
std::string zombie_text(const ScanParent &p, pid_t zombie, int width);

#endif
