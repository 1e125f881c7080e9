// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch --serve: the machine's zombies as metrics, over HTTP, for
 * Prometheus to scrape, until a signal ends it.
 */
#ifndef ZOMBIE_SERVE_H
#define ZOMBIE_SERVE_H

#include "cmd/options.h"
#include "core/status.h"

/* Where it listens when --serve names no address. */
constexpr const char *SERVE_DEFAULT = "127.0.0.1:10345";

ExitFacts serve_mode(const Options &o);

#endif
