// SPDX-License-Identifier: BSD-2-Clause
/*
 * The watch: what one run holds (Watch), and the loop that sleeps on the
 * kernel's records, the pidfds, the signals and two timers, and hands
 * what each turn brought to the tracker in the order it happened.
 */
#ifndef ZOMBIE_LOOP_H
#define ZOMBIE_LOOP_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cmd/failure.h"
#include "cmd/launch.h"
#include "cmd/options.h"
#include "cmd/output.h"
#include "core/log.h"
#include "core/pending.h"
#include "report/narrate.h"
#include "report/timeline.h"
#include "report/verdicts.h"
#include "report/words.h"
#include "sys/events.h"
#include "sys/kernel.h"

class Tracker;

/* Long enough for a record written a moment ago to be read before it. */
constexpr Nanos SETTLE = 100'000'000;

/* epoll data beyond every ProcId: the descriptors of the loop itself. */
enum : std::uint64_t {
	TOKEN_SIGNALS = 1ULL << 40,
	TOKEN_STATES,
	TOKEN_SAMPLES,
	TOKEN_RECORDS,
};

struct Watch {
	explicit Watch(const Options &o) : opt(o)
	{
	}
	const Options &opt;
	Inherited in;
	Nanos t0 = 0;
	Epoll epoll;
	SignalFd signals;
	TimerFd states, samples;
	Nanos period = 0; /* between looks for the timeline */
	Log log;
	Pending pending;
	ForkRecords records;
	Output out;
	Style style;
	int signo = 0, signals_got = 0;
	Nanos last_sweep = 0;
	/* When a wait last left nothing behind: what is told since came
	 * after it. */
	Nanos drained = 0;
	struct Received {
		std::uint32_t signo, from;
		Nanos at;
	};
	std::optional<Received> last_signal;
	std::vector<Record> recs;
	std::vector<Epoll::Ready> ready; /* what one wait brought */
	std::string run;                 /* this run's id, in every JSON line */
	/* The program, once it runs: a failure must not leave it behind. */
	std::optional<pid_t> launched;
	/* The probe's processes, held until followed. */
	std::vector<pid_t> probe;
	Fd hold;
	Nanos hold_until = 0; /* let go anyway: they cannot be followed */
	bool records_refused = false;
	bool records_lost = false; /* the kernel's rings overflowed */
	bool rings_polled = false; /* read at each look, not woken by */
	bool stop = false; /* following or checking, a signal ends the watch */
	std::set<pid_t> attached; /* the tasks the records follow */
};

/*
 * A signal from the terminal reached the whole foreground group, and the
 * program with it if it is still in ours; code is the signal's si_code.
 */
bool from_terminal(int code, pid_t program);
/* The fork records of pid's tree, watched; if refused, says so. */
std::optional<Failure> records_open(Watch &w, pid_t pid);
/* Says, once, that the records were refused, and what that costs. */
void records_refused(Watch &w);
/* How many records it read; hung_up: the rings have nothing more. */
size_t read_records(Watch &w, Tracker &tr, bool hung_up);
/* Turns until the tree is gone, or a signal ends a --pid watch or a check. */
std::optional<Failure> loop(Watch &w, Tracker &tr);

#endif
