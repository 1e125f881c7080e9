// SPDX-License-Identifier: BSD-2-Clause
/*
 * The metrics of zombie-watch --serve as a scraper reads them: the
 * Prometheus text format, or OpenMetrics where the scraper asks for it.
 */
#ifndef ZOMBIE_REPORT_EXPOSITION_H
#define ZOMBIE_REPORT_EXPOSITION_H

#include <string>
#include <string_view>

#include "core/fleet.h"

enum class Format : unsigned char { Text, OpenMetrics };

/* The Content-Type that goes with each. */
const char *content_type(Format f);

std::string exposition(const Metrics &m, Format f);

/*
 * A label's value: a name from another process as the watcher shows it
 * (a control byte or one that is not UTF-8 as \x1b, a backslash as \\),
 * then escaped as both formats want: backslash, double quote, newline.
 */
std::string label_value(std::string_view name);

#endif
