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
	Style style = text_style(out.fd());
	out.write(o.json
		      ? scan_json(*scan)
		      : fit_each(scan_text(*scan, style.width), HANG, style));
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
	f.answered = true;
	if (std::optional<Failure> e = scan_write(o, f)) {
		(void)fprintf(stderr, "zombie-watch: %s\n", e->text.c_str());
		f.failed = true;
	}
	return f;
}

namespace {

/* The zombie's parent, as the scan found it holding the zombie. */
std::optional<Scan>
holding(pid_t zombie)
{
	std::optional<Scan> scan = scan_read();
	if (!scan)
		return std::nullopt;
	Scan one;
	for (const ScanParent &p : scan->parents)
		for (const ScanZombie &z : p.zombies)
			if (z.proc.pid == zombie) {
				one.parents.push_back(p);
				one.parents.back().zombies = {z};
			}
	return one;
}

} // namespace

std::optional<ExitFacts>
zombie_mode(const Options &o)
{
	pid_t pid = *o.follow;
	std::optional<Stat> st = stat_read(pid);
	if (!st || st->state != 'Z')
		return std::nullopt;
	ExitFacts f;
	f.mode = Mode::Follow;
	/* As the scan's, its text or object is the whole answer. */
	f.answered = true;
	Output out;
	std::optional<Scan> one = holding(pid);
	if ((o.output && !out.open(o.output->c_str())) || !one) {
		int err = errno;
		(void)fprintf(stderr, "zombie-watch: %s: %s\n",
		    one ? visible(*o.output).c_str() : "/proc", strerror(err));
		f.failed = true;
		return f;
	}
	Style style = text_style(out.fd());
	/* Collected while it was read: it is not one any more. */
	if (one->parents.empty())
		out.write("process " + std::to_string(pid) +
			  " was a zombie, and was collected as it was read\n");
	else if (o.json)
		out.write(scan_json(*one));
	else
		out.write(
		    fit_each(zombie_text(one->parents[0], pid, style.width),
			HANG, style));
	f.failed = out.error() != 0;
	return f;
}
