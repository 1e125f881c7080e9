// SPDX-License-Identifier: BSD-2-Clause
/*
 * The event log: everything zombie-watch tells, in the order it happened.
 * The kernel side appends to it; every line the watcher prints is rendered
 * from it and from nothing else, so that what is printed can be built and
 * checked from a log made by hand.
 */
#ifndef ZOMBIE_LOG_H
#define ZOMBIE_LOG_H

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/record.h"

/* A process of the log; numbers are reused, these are not. */
using ProcId = std::uint32_t;
/* An event's place in the log. */
using Index = std::uint32_t;

enum class Role : std::uint8_t {
	Program,  /* what the watcher started: "parent N" */
	Child,    /* anything the program's tree created: "child N" */
	Watcher,  /* zombie-watch itself */
	Outsider, /* a reaper outside the tree: "PID 1 (init)" */
};

enum class What : std::uint8_t {
	Started,    /* proc, the program, started by other, the watcher */
	Created,    /* proc created by `by` (if known); other its parent */
	MainExited, /* proc's main thread ended; count threads still run */
	Ended,      /* proc's last thread ended; other its parent then */
	Orphaned,   /* proc handed to other; state its state then */
	Collected,  /* proc collected by other (how), or released */
	Unfollowed, /* proc could not be followed to its end */
	Signalled,  /* the watcher got signo; sent to count processes */
	States,     /* the periodic picture: snapshots[snapshot] */
	Sample,     /* for the timeline: proc was mostly in state */
	Lost,       /* count records lost, from since until t */
	Unrecorded, /* proc's records stopped: it ran a set-ID program */
	Exec,       /* a thread of proc, not its main one, ran comm */
};

enum class How : std::uint8_t {
	Wait,     /* other called wait and got the status */
	Released, /* the kernel released it: no one waited */
};

/* Why who collected a process is inferred rather than measured. */
enum class Guess : std::uint8_t {
	None,     /* measured: the collector's count grew by the child's */
	NoFaults, /* it made no page faults, so no count could grow */
	Unread,   /* it was gone before its page faults could be read */
	NoCount,  /* the candidate's count could not be read */
	Mixed,    /* its count grew for several at once, one of them unread */
	/* Unread, and it had made no fault when read while it ran, as a
	 * vfork child may make none: waited for, or released. */
	WaitOrRelease,
};

struct Event {
	Nanos t = 0;
	What what = What::Created;
	/* t is when the watcher saw it, not a time the kernel recorded. */
	bool observed = false;
	ProcId proc = 0;
	std::optional<ProcId> other;
	std::optional<ProcId> by;
	std::optional<int> status; /* as wait reports it */
	How how = How::Wait;
	Guess guess = Guess::None;
	/* Released: the parent's SigIgn showed SIGCHLD ignored. */
	bool ignores = false;
	/* Ended: seen as a zombie after it, not already gone; Created,
	 * before: a zombie already when the watch began. */
	bool zombie = false;
	/* Ended, a zombie: its parent collected it this soon after, as
	 * was known when it was told. */
	std::optional<Nanos> soon;
	/* Collected: the watcher was behind; t is the latest it can be. */
	bool late = false;
	/* Signalled: the terminal sent it to the program's group too. */
	bool from_terminal = false;
	/* Started, Created: it ran already when the watcher began; Ended:
	 * it had ended already, at a time not known. */
	bool before = false;
	char state = 0;
	/* Ended: the signal its parent was sent, as its stat line says. */
	int exit_signal = SIGCHLD;
	int count = 0;
	Nanos since = 0;
	/* Lost: the ring was full, and count is the least that was lost. */
	bool at_least = false;
	int signo = 0, sent = 0;
	std::uint32_t snapshot = 0;
	std::string comm; /* Exec: the program's name, as the kernel has it */
};

/* One process in the periodic picture. */
struct Look {
	ProcId proc = 0;
	pid_t ppid = 0;
	char state = 0;
	bool main_exited = false; /* its threads run on without it */
	int threads = 0;
};

struct Snapshot {
	std::vector<Look> looks;
	int adopted = 0; /* orphans awaited once the program has gone */
};

/* A process, and where in the log its life's events are. */
struct Process {
	pid_t pid = 0;
	Role role = Role::Child;
	std::string comm; /* the program as started; an outsider's command */
	std::optional<Index> created, main_exited, ended, orphaned, collected,
	    unfollowed;
};

class Log {
      public:
	ProcId add_process(pid_t pid, Role role, std::string comm = {})
	{
		Process p;
		p.pid = pid;
		p.role = role;
		p.comm = std::move(comm);
		procs_.push_back(std::move(p));
		return (ProcId)(procs_.size() - 1);
	}
	std::uint32_t add_snapshot(Snapshot s)
	{
		snapshots_.push_back(std::move(s));
		return (std::uint32_t)(snapshots_.size() - 1);
	}
	/* Events arrive in order; each is indexed under its process. */
	void append(const Event &e)
	{
		auto i = (Index)events_.size();
		events_.push_back(e);
		Process &p = procs_.at(e.proc);
		switch (e.what) {
		case What::Started:
		case What::Created:
			p.created = i;
			break;
		case What::MainExited:
			p.main_exited = i;
			break;
		case What::Ended:
			p.ended = i;
			break;
		case What::Orphaned:
			p.orphaned = i;
			break;
		case What::Collected:
			p.collected = i;
			break;
		case What::Unfollowed:
			p.unfollowed = i;
			break;
		case What::Exec:
			/* Led again by a live thread. */
			p.main_exited.reset();
			break;
		default:
			break;
		}
	}
	const std::vector<Event> &events() const
	{
		return events_;
	}
	const std::vector<Process> &procs() const
	{
		return procs_;
	}
	const Process &proc(ProcId id) const
	{
		return procs_.at(id);
	}
	const Snapshot &snapshot(std::uint32_t i) const
	{
		return snapshots_.at(i);
	}
	/* The time of a process's event, if it is in the log yet. */
	std::optional<Nanos> when(const std::optional<Index> &i) const
	{
		return i ? std::optional<Nanos>(events_[*i].t) : std::nullopt;
	}

      private:
	std::vector<Process> procs_;
	std::vector<Event> events_;
	std::vector<Snapshot> snapshots_;
};

#endif
