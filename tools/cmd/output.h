// SPDX-License-Identifier: BSD-2-Clause
/*
 * What the watcher writes: its output file, the narration as it becomes
 * sure, and, once the run is over, the summary, the verdicts, the
 * timeline and the status it ends with.
 */
#ifndef ZOMBIE_OUTPUT_H
#define ZOMBIE_OUTPUT_H

#include <string>
#include <string_view>

#include "core/record.h"
#include "core/status.h"
#include "sys/fd.h"

/*
 * The watcher's own output, standard output or --output's file, written a
 * paragraph at a time until it fails.
 */
class Output {
      public:
	/* False, with errno set, if the file cannot be written. */
	bool open(const char *path);
	int fd() const;
	const char *name() const;
	void write(std::string_view s);
	/* The errno value of the write that failed, or 0. */
	int error() const
	{
		return error_;
	}

      private:
	Fd file_;
	std::string name_;
	int error_ = 0;
};

struct Watch;
class Tracker;

/*
 * Tells, in order, what is old enough to be sure of: every event up to
 * horizon.
 */
void flush(Watch &w, Nanos horizon);
/* Tells the rest and the report; the status to end with. */
ExitStatus finish(Watch &w, const Tracker &tr);

#endif
