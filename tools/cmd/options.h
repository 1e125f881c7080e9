// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch's command line: the options, the usage and the rules on
 * which go together.  Nothing here starts or reads a process.
 */
#ifndef ZOMBIE_OPTIONS_H
#define ZOMBIE_OPTIONS_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "core/http.h"
#include "core/record.h"
#include "core/status.h"

/* The probe's name, as ps and the narration show it. */
constexpr const char *PROBE_NAME = "reaper-probe";

struct Options {
	Options() = default;
	/* The program's argv may point into dflt: it stays where it is. */
	Options(const Options &) = delete;
	Options &operator=(const Options &) = delete;

	bool check = false;
	bool json = false;           /* the log as JSON Lines, not prose */
	bool quiet = false;          /* the summary and verdicts alone */
	bool scan = false;           /* the zombies there are now, and why */
	std::optional<Listen> serve; /* the machine's zombies as metrics */
	std::optional<std::string> output;
	std::optional<std::string> svg; /* the timeline as a picture */
	std::optional<pid_t> follow;    /* a process already running */
	bool probe = false;             /* the reaper check's own orphans */
	Nanos reaper_wait = 10'000'000'000;
	/* --check-leaks: how long a zombie may wait for its parent */
	std::optional<Nanos> leaks;
	std::vector<char *> argv; /* the program's, null-terminated */
	std::string dflt;         /* the zombie beside us */
};

/*
 * Fills o from the command line, as far as it is right.  Where the
 * watcher is to end at once (--help, --version, a usage error, told
 * already), what the status is decided from.
 */
std::optional<ExitFacts> options(int argc, char *argv[], Options &o);
/* The mode the options ask for. */
Mode mode_of(const Options &o);

#endif
