// SPDX-License-Identifier: BSD-2-Clause
/*
 * The watcher's output: the file it writes to, the narration in whole
 * paragraphs, and the end of the run.
 */

#include "cmd/output.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "cmd/launch.h"
#include "cmd/loop.h"
#include "cmd/reaper.h"
#include "core/leaks.h"
#include "core/tracker.h"
#include "report/jsonl.h"
#include "report/narrate.h"
#include "report/picture.h"
#include "report/timeline.h"
#include "report/verdicts.h"
#include "report/words.h"

bool
Output::open(const char *path)
{
	file_ = Fd(::open(
	    path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
	name_ = path;
	return (bool)file_;
}

int
Output::fd() const
{
	return file_ ? file_.get() : STDOUT_FILENO;
}

const char *
Output::name() const
{
	return file_ ? name_.c_str() : "standard output";
}

void
Output::write(std::string_view s)
{
	/* A file that could not be opened is no licence to write elsewhere. */
	while (error_ == 0 && !s.empty() && (!named() || file_)) {
		ssize_t n = ::write(fd(), s.data(), s.size());
		if (n > 0) {
			mid_line_ = s[(size_t)n - 1] != '\n';
			s.remove_prefix((size_t)n);
		} else if (n == -1 && errno != EINTR) {
			error_ = errno;
		}
	}
}

void
Output::write_last(std::string_view s)
{
	int first = error_;

	error_ = 0;
	if (first != 0 && mid_line_)
		write("\n");
	write(s);
	if (first != 0)
		error_ = first;
}

/*
 * Paragraphs go out whole, several to a write up to what a pipe writes at
 * once, so that watchers nested in one another do not split each other's.
 */
void
flush(Watch &w, Nanos horizon)
{
	std::string out;

	w.pending.flush(horizon, w.log, [&w, &out](Index i) {
		/* Quiet, lost records are said: the summary lacks them. */
		bool quiet =
		    w.opt.quiet && w.log.events()[i].what != What::Lost;
		std::string p = quiet        ? std::string()
				: w.opt.json ? json_event(w.log, i, w.run)
					     : narrate(w.log, i, w.style);
		if (!out.empty() && out.size() + p.size() > PIPE_BUF) {
			w.out.write(out);
			out.clear();
		}
		out += p;
	});
	w.out.write(out);
}

namespace {

/* The picture, whole, to a file of its own; a failure told. */
bool
picture(const std::string &path, std::string_view svg)
{
	Fd fd(::open(path.c_str(),
	    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
	while (fd && !svg.empty()) {
		ssize_t n = ::write(fd.get(), svg.data(), svg.size());
		if (n > 0)
			svg.remove_prefix((size_t)n);
		else if (n == -1 && errno != EINTR)
			break;
	}
	if (fd && svg.empty())
		return true;
	(void)fprintf(stderr, "zombie-watch: %s: %s\n", visible(path).c_str(),
	    strerror(errno));
	return false;
}

/* Ends as the signal that ended the run would have ended us. */
void
reraise(int signo)
{
	sigset_t mask;

	(void)signal(signo, SIG_DFL);
	(void)sigemptyset(&mask);
	(void)sigaddset(&mask, signo);
	(void)raise(signo);
	(void)sigprocmask(SIG_UNBLOCK, &mask, nullptr);
}

/*
 * The last JSON line, whatever ended the watch.  One that ended before
 * its output was opened opens it now, and chooses its run's id.
 */
void
end_line(Watch &w, const ExitFacts &f)
{
	if (w.opt.output && !w.out.named())
		(void)w.out.open(w.opt.output->c_str());
	if (w.run.empty())
		if (Result<std::string> id = run_id())
			w.run = *id;
	w.out.write_last(json_end(w.run, static_cast<int>(exit_status(f)),
	    f.program, end_reason(f), f.signal));
}

/* What the checks found, each in the form asked for. */
struct Found {
	std::vector<Verdict> reaper;
	LeakCheck leaks;
	ExitFacts facts;
};

/* What is told once the run is over, before the status line. */
std::string
report(const Watch &w, Nanos end, const Found &v)
{
	Nanos limit = w.opt.leaks.value_or(0);

	if (w.opt.json)
		return json_summary(w.log, w.run) +
		       (w.opt.check ? json_verdicts(w.log, v.reaper, w.run)
				    : "") +
		       (w.opt.leaks ? json_leaks(
					  w.log, v.leaks, limit, v.facts, w.run)
				    : "");
	std::string out = summary(w.log);
	if (w.opt.check)
		out += verdicts(w.log, w.style);
	if (w.opt.leaks)
		out += leak_verdicts(w.log, v.leaks, limit, v.facts, w.style);
	out = fit_each(out, HANG, w.style);
	if (!w.opt.quiet)
		out += timeline(w.log, end, w.style);
	return out;
}

} // namespace

ExitFacts
finish(Watch &w, const Tracker &tr)
{
	Nanos end = tr.now();
	Found v;
	ExitFacts &f = v.facts;

	flush(w, end + SETTLE);
	f.mode = mode_of(w.opt);
	f.program = tr.program_status();
	f.signal = w.signo;
	f.records_refused = w.records_refused;
	f.records_lost = w.records_lost;
	f.probe = w.opt.probe;
	if (w.opt.check) {
		v.reaper = judge(w.log, w.style.reaper_wait);
		f.check = check_found(w, tr, tally(v.reaper));
	}
	if (w.opt.leaks) {
		v.leaks = find_leaks(w.log, *w.opt.leaks, end);
		f.check = check_found(w, tr, tally(v.leaks));
	}
	w.out.write(report(w, end, v));
	if (w.opt.svg && !picture(*w.opt.svg, timeline_svg(w.log, end)))
		f.failed = true;
	return f;
}

ExitStatus
conclude(Watch &w, ExitFacts f)
{
	f.output_failed = w.out.error() != 0;
	if (w.opt.json && f.mode != Mode::Help && !f.answered)
		end_line(w, f);
	if (w.out.error() != 0) {
		(void)fprintf(stderr, "zombie-watch: %s: %s\n",
		    visible(w.out.name()).c_str(), strerror(w.out.error()));
		f.output_failed = true;
	}
	/* Ended by a signal, the watcher re-raises it: a shell sees 128+N. */
	if (end_reason(f) == EndReason::Signal)
		reraise(f.signal);
	return exit_status(f);
}
