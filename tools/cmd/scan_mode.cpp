// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch --scan: it starts nothing and follows nothing.  The output
 * is opened first, so that a file that cannot be written fails before
 * /proc is read.
 */

#include "cmd/scan_mode.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <optional>

#include "cmd/failure.h"
#include "cmd/launch.h"
#include "cmd/output.h"
#include "report/scan.h"
#include "report/words.h"
#include "sys/kernel.h"
#include "sys/scan_proc.h"

namespace {

/* Writes the scan, and what it found into f. */
std::optional<Failure>
scan_write(const Options &o, ExitFacts &f)
{
	Output out;

	/* A closed output is a failure to report, as for a watch. */
	if (std::optional<Failure> e = standard_files())
		return e;
	if (std::optional<Failure> e = proc_check())
		return e;
	(void)signal(SIGPIPE, SIG_IGN);
	/* errno taken first: escaping the name allocates. */
	if (o.output && !out.open(o.output->c_str())) {
		int err = errno;
		return failure(visible(*o.output), err);
	}
	std::optional<Scan> scan = scan_read();
	if (!scan)
		return failure("/proc");
	out.write(o.json ? scan_json(*scan)
			 : scan_text(*scan, terminal_width(out.fd())));
	if (out.error() != 0)
		return failure(visible(out.name()), out.error());
	f.zombies = zombie_count(*scan);
	f.scan_hidden = scan->hidden_by.has_value();
	return std::nullopt;
}

} // namespace

ExitFacts
scan_mode(const Options &o)
{
	ExitFacts f;
	f.mode = Mode::Scan;
	if (std::optional<Failure> e = scan_write(o, f)) {
		(void)fprintf(stderr, "zombie-watch: %s\n", e->text.c_str());
		f.failed = true;
	}
	return f;
}
