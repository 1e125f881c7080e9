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
	/*
	 * The last line, tried even after a failure, on a line of its own,
	 * should the output take it again (a non-blocking one read at last,
	 * a disk with room again).  The first failure is the one kept.
	 */
	void write_last(std::string_view s);
	/* Whether open() was tried. */
	bool named() const
	{
		return !name_.empty();
	}
	/* The errno value of the write that failed, or 0. */
	int error() const
	{
		return error_;
	}

      private:
	Fd file_;
	std::string name_;
	int error_ = 0;
	bool mid_line_ = false; /* the last byte written was not a newline */
};

struct Watch;
class Tracker;

/*
 * Tells, in order, what is old enough to be sure of: every event up to
 * horizon.
 */
void flush(Watch &w, Nanos horizon);
/* Tells the rest and the report; what the status is decided from. */
ExitFacts finish(Watch &w, const Tracker &tr);
/*
 * The one way every watch ends, whatever ended it: with --json, the last
 * line, holding the status and why; the output's failure told; the
 * signal that ended the watch re-raised.  The status to end with.
 */
ExitStatus conclude(Watch &w, ExitFacts f);

#endif
