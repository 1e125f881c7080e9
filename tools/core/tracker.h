// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tracker: turns fork and exit records, the ends and disappearances
 * of the processes it holds and the collections the watcher makes itself
 * into events, each with the kernel's time where the kernel gives one,
 * into a queue that hands them to the log in the order they happened.  It
 * asks the system only through System, so that a test can feed it.
 */
#ifndef ZOMBIE_TRACKER_H
#define ZOMBIE_TRACKER_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/attribute.h"
#include "core/log.h"
#include "core/pending.h"
#include "core/record.h"
#include "core/sys.h"

struct TrackerSetup {
	pid_t self = 0;
	bool check = false;  /* orphans go to the system's reaper */
	bool follow = false; /* a tree it did not start: it only observes */
	bool hup_works = true;
	Nanos reaper_wait = 0;
};

class Tracker {
      public:
	Tracker(System &sys, Log &log, Pending &out, const TrackerSetup &setup);
	/* The program, forked at t: false if it cannot be held. */
	bool start(pid_t pid, Nanos t, const std::string &program);
	void started();
	/*
	 * A process already running, instead of a program: false if it
	 * cannot be held.  Its ancestors are pinned as its reapers.
	 */
	bool follow(pid_t pid);
	/* Its descendants that run already, found from /proc; true if any. */
	bool adopt_existing();
	/* The processes of the tree that still run. */
	std::vector<pid_t> running() const;
	/* Those that may adopt an orphan: first's line up to PID 1. */
	void pin_ancestors(pid_t first);
	/* lost: what the kernel could not write before these. */
	void records(const std::vector<Record> &recs,
	    const std::optional<Loss> &lost = std::nullopt);
	void sweep();
	void exited(ProcId id);
	/*
	 * Gone: collected, or released.  seen: when the watcher's wait
	 * brought the news, a time by which it was so, if not now.
	 */
	void vanished(ProcId id, std::optional<Nanos> seen = std::nullopt);
	void collect_ours();
	void look();
	/* Whether any of them ran since the last look. */
	bool sample();
	void check_alive();
	/* What was seen in one turn has been told. */
	void settle();
	void behind(Nanos by);
	/* The watcher was stopped: what this turn sees may have come long
	 * before. */
	void stalled();
	/* Gives up on orphans left too long; the next due time, if any. */
	std::optional<Nanos> give_up();
	int signal_all(int sig);
	bool finished() const;
	/* Whether pid is one of the tree, held, and its end read if due. */
	bool follows(pid_t pid);
	bool polling_needed() const;
	/* Whether some of the tree have no records: their children are
	 * looked for. */
	bool needs_looks() const;
	std::optional<int> program_status() const;
	pid_t program_pid() const;
	Nanos now() const;

      private:
	/* A count of what it asked the system: orders what it learns. */
	using Asked = std::uint64_t;
	/* Since when a process is known gone: by that question, or by a
	 * time. */
	struct GoneBy {
		Asked asked = 0;
		std::optional<Nanos> seen;
	};
	struct Live {
		ProcId id = 0;
		pid_t pid = 0;
		Pin pin;                      /* held, while it can be */
		Nanos held = 0;               /* when it was pinned */
		std::optional<ProcId> parent; /* its parent now */
		std::optional<ProcId> creator;
		Nanos created = 0;
		Nanos forked = 0; /* its latest fork, by the records */
		std::optional<Nanos> record_end;
		std::optional<pid_t> exit_ppid;
		pid_t exit_tid = 0;
		/*
		 * The exit record of one held only after it, and found
		 * running: a set-ID exec, unless the next records show its
		 * number forked again before the pin.
		 */
		std::optional<Record> unsure;
		std::optional<Nanos> end;
		std::optional<Nanos> orphaned;
		bool handover_unknown = false; /* gone before it was seen */
		bool gone = false;             /* released before it was held */
		Asked gone_at = 0;             /* known so since */
		bool given_up = false;
		int threads = 1;
		bool main_exited = false;
		bool before = false; /* it ran already when the watch began */
		/* The kernel writes no more records of it, since then. */
		std::optional<Nanos> unrecorded;
		long long base = 0; /* its children's faults before that */
		std::optional<long long> faults;
		long long least = 0; /* faults seen while it ran */
		std::optional<int> status;
		/* For the timeline: the last look, and the state it settled. */
		std::optional<Nanos> looked;
		char seen = 'S';
		std::optional<long long> ran;
	};
	/* What outlives a process's record: what its children need. */
	struct Known {
		std::optional<long long> final_count;
		long long base = 0;
		std::optional<Nanos> end;
		std::optional<ProcId> parent;
	};
	struct Ancestor {
		ProcId id = 0;
		pid_t pid = 0;
		Pin pin;
		long long base = 0;
	};

	void emit(const Event &e);
	Live *find(ProcId id);
	Live *find_pid(pid_t pid);
	ProcId add_child(pid_t pid, std::optional<ProcId> creator, Nanos t);
	std::optional<ProcId> id_of(pid_t pid);
	ProcId outsider(pid_t pid);
	bool pin(Live &l, std::optional<Nanos> born);
	void created(Live &l);
	void on_fork(const Record &r, std::vector<ProcId> &fresh);
	void on_exit(const Record &r, const Record *next, const Record *end);
	void on_exec(const Record &r);
	bool running(Live &l);
	bool runs_on(Live &l, const Record &r);
	void unrecorded(Live &l, const Record &r);
	void outlived(const std::vector<ProcId> &fresh);
	void confirm_unsure();
	void settle_fresh(const std::vector<ProcId> &fresh);
	void told_lost(const Loss &lost);
	void unfollowed(Live &l, int err);
	void end_now(Live &l);
	void handover(Live &x);
	void orphan(Live &l, const Live &x);
	std::vector<Candidate> candidates(const Live &l, GoneBy gone_by);
	Candidate candidate(ProcId who, GoneBy gone_by);
	template <class Read>
	std::optional<long long> count_of(
	    ProcId who, GoneBy gone_by, Read read);
	void adopters(ProcId x, std::vector<Candidate> &into, GoneBy gone_by);
	Nanos causal(const Live &l, const Attribution &a,
	    std::optional<Nanos> seen = std::nullopt) const;
	ProcId adopter(const Attribution &a, ProcId parent);
	bool disposition(ProcId who);
	void collected(Live &l, const Attribution &a, Nanos t);
	void release(ProcId id);
	void set_parent(Live &l, std::optional<ProcId> parent);
	void no_records(Live &l, Nanos since);
	void found(
	    pid_t pid, std::optional<ProcId> parent, bool before = false);
	char state_since_look(Live &l, Nanos t);
	std::optional<Stat> stat_of(const Live &l);

	System &sys_;
	Log &log_;
	Pending &out_;
	TrackerSetup setup_;
	Ledger ledger_;
	ProcId watcher_ = 0;
	std::optional<ProcId> program_;
	std::optional<int> program_status_;
	std::unordered_map<ProcId, Live> live_;
	std::unordered_map<pid_t, ProcId> by_pid_; /* the tree, while live */
	std::unordered_map<pid_t, ProcId> ever_;   /* the tree's, latest */
	std::unordered_map<pid_t, ProcId> outsiders_;
	std::vector<Known> known_; /* by ProcId */
	std::vector<Ancestor> ancestors_;
	/*
	 * Kept as they change, so that a turn in a burst of thousands need
	 * not go through them all: the live children of each, and those the
	 * kernel stopped writing records of.
	 */
	std::unordered_map<ProcId, int> kids_;
	std::vector<ProcId> unrecorded_;
	std::vector<ProcId> unsure_;
	/*
	 * Collectors' counts read this turn, each with when it was read:
	 * one reading serves every child known gone before it was made.
	 */
	struct Count {
		Asked read = 0;
		Nanos at = 0;
		std::optional<long long> count;
	};
	std::unordered_map<ProcId, Count> counts_;
	Asked asked_ = 0;
	bool have_children_ = true;
	bool behind_ = false; /* this turn, the watcher was late */
	int pin_error_ = 0;   /* why the last pin failed */
	/* Later than this to read a record, and it was behind. */
	static constexpr Nanos LATE = 20'000'000;
};

#endif
