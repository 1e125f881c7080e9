// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tracker fed by hand: a table of processes that plays the kernel, and
 * a rig that drives the tracker in the order the watcher's loop does, so
 * that a test writes a sequence of records and reads the events they make.
 *
 * The table keeps the kernel's rules that the tracker relies on: a zombie
 * stays readable until it is collected or released; a collection adds the
 * child's page faults to the collector's count of its children's; an
 * orphan goes to the nearest subreaper above it, else to PID 1; a parent
 * that ignores SIGCHLD or sets SA_NOCLDWAIT has its children released as
 * they end, though /proc shows only the first.
 */
#ifndef ZOMBIE_TESTS_TRACKER_RIG_H
#define ZOMBIE_TESTS_TRACKER_RIG_H

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/pending.h"
#include "core/sys.h"
#include "core/tracker.h"
#include "log_events.h"

struct FakeProc {
	pid_t pid = 0;
	Stat stat;
	Nanos start = 0;
	std::string comm = "proc";
	bool ignores = false;   /* SIGCHLD ignored: its children are released */
	bool nocldwait = false; /* SA_NOCLDWAIT: released, and SigIgn silent */
	bool subreaper = false; /* orphans below it come to it */
	bool exited = false;    /* its whole thread group has ended */
	long long ran = 0;
	std::optional<int> kept;  /* the status kept after collection */
	std::uint64_t serial = 0; /* this process, not its number */
};

class FakeSystem final : public System {
      public:
	Nanos t = 0;
	/* The processes that exist, zombies included, by number. */
	std::map<pid_t, FakeProc> procs;
	/* The watcher's number: its children are those with it as parent. */
	pid_t self = 0;
	/* What it was told it cannot follow. */
	std::vector<pid_t> unfollowed;
	/* Numbers that refuse to be held, as a process of another user. */
	std::map<pid_t, int> refuse;
	/*
	 * Done once, just after the next read of a process's stat: what
	 * the processes do while the watcher reads.
	 */
	std::map<pid_t, std::function<void()>> after_read;

	Nanos now() override
	{
		return t;
	}
	PinResult pin(pid_t pid) override
	{
		PinResult r;
		if (auto it = refuse.find(pid); it != refuse.end()) {
			r.error = it->second;
			return r;
		}
		auto it = procs.find(pid);
		if (it == procs.end()) {
			r.error = 2; /* ENOENT */
			r.gone = true;
			return r;
		}
		r.pin = next_++;
		pins_[*r.pin] = it->second.serial;
		return r;
	}
	void unpin(PinId pin) override
	{
		pins_.erase(pin);
		watched_.erase(pin);
	}
	int watch(PinId pin, std::uint64_t token) override
	{
		watched_[pin] = Watched{token};
		return 0;
	}
	std::optional<Stat> stat(PinId pin) override
	{
		const FakeProc *p = held(pin);
		if (p == nullptr)
			return std::nullopt;
		Stat s = p->stat;
		auto it = after_read.find(p->pid);
		if (it != after_read.end()) {
			std::function<void()> act = std::move(it->second);
			after_read.erase(it);
			act();
		}
		return s;
	}
	bool alive(PinId pin) override
	{
		return held(pin) != nullptr;
	}
	bool exited(PinId pin) override
	{
		const FakeProc *p = held(pin);
		return p == nullptr || p->exited;
	}
	/* As a pidfd tells it: the watcher's own zombie child's, read
	 * without collecting it, or what a collection left. */
	std::optional<int> exit_status(PinId pin) override
	{
		const FakeProc *p = held(pin);
		if (p != nullptr && p->exited && p->stat.ppid == self)
			return p->stat.exit_code;
		auto it = kept_.find(pins_.count(pin) ? pins_[pin] : 0);
		return it == kept_.end() ? std::nullopt
					 : std::optional<int>(it->second);
	}
	bool signal(PinId pin, int) override
	{
		return held(pin) != nullptr;
	}
	std::optional<long long> ran(PinId pin) override
	{
		const FakeProc *p = held(pin);
		return p != nullptr ? std::optional<long long>(p->ran)
				    : std::nullopt;
	}
	Nanos start_time(const Stat &s) override
	{
		return s.start_ticks * tick();
	}
	Nanos tick() override
	{
		return 10 * ms;
	}
	bool ignores_sigchld(pid_t pid) override
	{
		auto it = procs.find(pid);
		return it != procs.end() && it->second.ignores;
	}
	std::string comm(pid_t pid) override
	{
		auto it = procs.find(pid);
		return it == procs.end() ? std::string() : it->second.comm;
	}
	std::vector<pid_t> children(pid_t pid) override
	{
		std::vector<pid_t> kids;
		for (const auto &[k, p] : procs)
			if (p.stat.ppid == pid && k != pid)
				kids.push_back(k);
		return kids;
	}
	ChildLook ended_child() override
	{
		ChildLook look;
		look.any = false;
		for (const auto &[k, p] : procs) {
			if (p.stat.ppid != self)
				continue;
			look.any = true;
			if (p.exited && !look.ended)
				look.ended = EndedChild{k};
		}
		return look;
	}
	std::optional<int> collect(pid_t pid) override
	{
		auto it = procs.find(pid);
		if (it == procs.end() || !it->second.exited)
			return std::nullopt;
		int status = it->second.stat.exit_code;
		remove(pid, self);
		return status;
	}
	void cannot_follow(pid_t pid, int) override
	{
		unfollowed.push_back(pid);
	}

	/* The kernel's side of a fork: the child as its parent's copy. */
	Record fork(pid_t parent, pid_t pid, bool clone_parent = false)
	{
		FakeProc p;
		p.pid = pid;
		p.serial = ++serial_;
		p.start = t;
		p.stat.state = 'S';
		p.stat.threads = 1;
		p.stat.start_ticks = t / tick();
		p.stat.ppid =
		    clone_parent ? procs.at(parent).stat.ppid : parent;
		p.stat.minflt = 100;
		procs[pid] = p;
		Record r;
		r.fork = true;
		r.pid = r.tid = pid;
		r.ppid = r.ptid = parent;
		r.t = t;
		return r;
	}
	/* A thread of pid: it shares the process's number. */
	Record thread(pid_t pid, pid_t tid)
	{
		procs.at(pid).stat.threads++;
		Record r;
		r.fork = true;
		r.pid = r.ppid = pid;
		r.tid = tid;
		r.ptid = pid;
		r.t = t;
		return r;
	}
	/* One thread ends; the last one ends the process. */
	Record thread_exit(pid_t pid, pid_t tid)
	{
		FakeProc &p = procs.at(pid);
		Record r;
		r.pid = pid;
		r.tid = tid;
		r.ppid = p.stat.ppid;
		r.t = t;
		if (--p.stat.threads == 0)
			end(pid, 0);
		else if (tid == pid)
			p.stat.state = 'Z';
		return r;
	}
	/*
	 * A thread of it runs a program; the kernel has ended its others and
	 * written the main one's exit (thread_exit) before this, and the
	 * thread leads it now.
	 */
	Record exec(pid_t pid, const std::string &comm)
	{
		FakeProc &p = procs.at(pid);
		Record r;
		r.exec = true;
		r.pid = r.tid = pid;
		r.t = t;
		r.comm = comm;
		p.stat.state = 'S';
		p.stat.threads = 1;
		return r;
	}
	/*
	 * The whole process ends with status (as wait reports it): a zombie
	 * until collected, or released at once if its parent ignores
	 * SIGCHLD; its children go to their reaper.
	 */
	Record exit(pid_t pid, int status)
	{
		FakeProc &p = procs.at(pid);
		Record r;
		r.pid = r.tid = pid;
		r.ppid = p.stat.ppid;
		r.t = t;
		p.stat.threads = 0;
		end(pid, status);
		return r;
	}
	/*
	 * It runs a set-user-ID program: the kernel writes its exit record
	 * and stops following it, and it runs on.
	 */
	Record exec_setid(pid_t pid)
	{
		FakeProc &p = procs.at(pid);
		Record r;
		r.pid = r.tid = pid;
		r.ppid = p.stat.ppid;
		r.t = t;
		return r;
	}
	/* What a wait in collector does: the child's counts join its own. */
	void reap(pid_t pid, pid_t collector)
	{
		remove(pid, collector);
	}
	/* The kernel releases it: no one's counts grow. */
	void release(pid_t pid)
	{
		remove(pid, 0);
	}
	/* The reaper an orphan of pid's goes to. */
	pid_t reaper_of(pid_t pid)
	{
		for (pid_t a = procs.at(pid).stat.ppid; a > 1;) {
			auto it = procs.find(a);
			if (it == procs.end())
				break;
			if (it->second.subreaper && !it->second.exited)
				return a;
			a = it->second.stat.ppid;
		}
		return 1;
	}

	/*
	 * What the loop's epoll set would say, each once: the watched that
	 * have ended (readable), or gone (hung up).
	 */
	std::vector<ProcId> take_ended()
	{
		return take([](Watched &w) { return &w.ended; },
		    [](const FakeProc *p) {
			    return p == nullptr || p->exited;
		    });
	}
	std::vector<ProcId> take_gone()
	{
		return take([](Watched &w) { return &w.gone; },
		    [](const FakeProc *p) { return p == nullptr; });
	}

      private:
	struct Watched {
		std::uint64_t token = 0;
		bool ended = false, gone = false;
	};
	template <typename Flag, typename Due>
	std::vector<ProcId> take(Flag flag, Due due)
	{
		std::vector<ProcId> ids;
		for (auto &[pin, w] : watched_)
			if (!*flag(w) && due(held(pin))) {
				*flag(w) = true;
				ids.push_back((ProcId)w.token);
			}
		std::sort(ids.begin(), ids.end());
		return ids;
	}
	const FakeProc *held(PinId pin)
	{
		auto it = pins_.find(pin);
		if (it == pins_.end())
			return nullptr;
		for (const auto &[k, p] : procs)
			if (p.serial == it->second)
				return &p;
		return nullptr;
	}
	void end(pid_t pid, int status)
	{
		FakeProc &p = procs.at(pid);
		p.exited = true;
		p.stat.state = 'Z';
		p.stat.exit_code = status;
		pid_t reaper = reaper_of(pid);
		for (auto &[k, c] : procs)
			if (c.stat.ppid == pid && k != pid)
				c.stat.ppid = reaper;
		auto parent = procs.find(p.stat.ppid);
		if (parent != procs.end() &&
		    (parent->second.ignores || parent->second.nocldwait))
			release(pid);
	}
	void remove(pid_t pid, pid_t collector)
	{
		auto it = procs.find(pid);
		if (it == procs.end())
			return;
		const Stat &s = it->second.stat;
		if (auto c = procs.find(collector); c != procs.end())
			c->second.stat.cminflt += s.minflt + s.cminflt;
		kept_[it->second.serial] = s.exit_code;
		procs.erase(it);
	}

	std::map<PinId, std::uint64_t> pins_;
	std::map<PinId, Watched> watched_;
	std::map<std::uint64_t, int> kept_;
	PinId next_ = 0;
	std::uint64_t serial_ = 0;
};

/* The tracker, driven in the order of the watcher's loop. */
class TrackerRig {
      public:
	static constexpr pid_t WATCHER = 50;

	FakeSystem sys;
	Log log;
	Pending pending;
	std::optional<Tracker> tracker;

	explicit TrackerRig(TrackerSetup setup = {})
	{
		sys.self = WATCHER;
		FakeProc init;
		init.pid = 1;
		init.comm = "init";
		init.stat.state = 'S';
		init.stat.threads = 1;
		sys.procs[1] = init;
		FakeProc w = init;
		w.pid = WATCHER;
		w.comm = "zombie-watch";
		w.stat.ppid = 1;
		w.subreaper = !setup.check && !setup.follow;
		sys.procs[WATCHER] = w;
		setup.self = WATCHER;
		tracker.emplace(sys, log, pending, setup);
		/* As the watcher does: its own parent may adopt orphans. */
		if (setup.check)
			tracker->pin_ancestors(1);
	}
	/* The reaper check, giving each orphan wait to be collected. */
	static TrackerSetup check(Nanos wait)
	{
		TrackerSetup setup;
		setup.check = true;
		setup.reaper_wait = wait;
		return setup;
	}
	/* The program, started by the watcher at the current time. */
	void start(pid_t pid, const char *name = "prog")
	{
		(void)sys.fork(WATCHER, pid);
		(void)tracker->start(pid, sys.t, name);
		tracker->started();
	}
	/*
	 * One turn of the loop: the orphans waited for long enough given up,
	 * the records read, then the ends the pidfds told, the watcher's own
	 * children, what went, as step() does.
	 */
	void turn(const std::vector<Record> &recs,
	    const std::optional<Loss> &lost = std::nullopt)
	{
		(void)tracker->give_up();
		tracker->records(recs, lost);
		if (lost || tracker->needs_looks())
			tracker->sweep();
		std::vector<ProcId> ended = sys.take_ended();
		std::vector<ProcId> gone = sys.take_gone();
		for (ProcId id : ended)
			tracker->exited(id);
		tracker->collect_ours();
		for (ProcId id : gone)
			tracker->vanished(id);
		tracker->settle();
	}
	/* Everything told so far, in order. */
	void flush()
	{
		pending.flush(
		    std::numeric_limits<Nanos>::max(), log, [](Index) {});
	}
	std::optional<ProcId> id(pid_t pid) const
	{
		std::optional<ProcId> found;
		for (ProcId i = 0; i < log.procs().size(); i++)
			if (log.procs()[i].pid == pid)
				found = i;
		return found;
	}
	/*
	 * The log as short lines: "30000 Ended 102 -> 101 status 0 zombie";
	 * times in milliseconds, processes by number.
	 */
	std::vector<std::string> lines()
	{
		flush();
		std::vector<std::string> out;
		for (const Event &e : log.events())
			if (e.what != What::Sample && e.what != What::States)
				out.push_back(line(e));
		return out;
	}

      private:
	std::string pid_of(const std::optional<ProcId> &p) const
	{
		return p ? std::to_string(log.proc(*p).pid) : "-";
	}
	std::string line(const Event &e) const;
};

inline std::string
TrackerRig::line(const Event &e) const
{
	static const char *const names[] = {"Started", "Created", "MainExited",
	    "Ended", "Orphaned", "Collected", "Unfollowed", "Signalled",
	    "States", "Sample", "Lost", "Unrecorded", "Exec"};
	std::string s = std::to_string(e.t / ms) + " " + names[(int)e.what];
	/* The watcher's, of no process: how many, and since when. */
	if (e.what == What::Lost)
		return s + " " + std::to_string(e.count) + " since " +
		       std::to_string(e.since / ms);
	s += " " + pid_of(e.proc);
	if (e.other)
		s += " -> " + pid_of(e.other);
	if (e.by)
		s += " by " + pid_of(e.by);
	if (e.what == What::Ended && e.status)
		s += " status " + std::to_string(*e.status >> 8);
	if (e.what == What::Ended && e.zombie)
		s += " zombie";
	if (e.what == What::Orphaned && e.state != 0)
		s += std::string(" ") + e.state;
	if (e.what == What::Collected)
		s += e.how == How::Wait ? " wait" : " released";
	if (e.what == What::Collected && e.ignores)
		s += " (SIGCHLD ignored)";
	if (e.what == What::Collected && e.guess != Guess::None)
		s += " guessed";
	if (e.what == What::MainExited)
		s += " threads " + std::to_string(e.count);
	if (e.late)
		s += " late";
	return s;
}

/* The log's short lines. */
using Lines = std::vector<std::string>;

/*
 * Each of some in all, in the same order, with others between: the lines
 * of a case that hold, where the rest are not all true yet.
 */
inline ::testing::AssertionResult
in_order(const Lines &all, const Lines &some)
{
	size_t k = 0;
	for (const std::string &line : all)
		if (k < some.size() && line == some[k])
			k++;
	if (k == some.size())
		return ::testing::AssertionSuccess();
	std::string told;
	for (const std::string &line : all)
		told += "\n  " + line;
	return ::testing::AssertionFailure()
	       << "\"" << some[k] << "\" not in order in:" << told;
}

/* A line without its time. */
inline std::string
untimed(const std::string &line)
{
	return line.substr(line.find(' ') + 1);
}

#endif
