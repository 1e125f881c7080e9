// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch --serve.  One thread, one epoll set: the listening socket,
 * its connections, the kernel's exit records of every task, a pidfd for
 * each process that ended and is not collected yet, the signals that end
 * it, and a tick that drops slow clients.  A scrape reads /proc afresh:
 * it has no way to learn what changed, so each scrape reads each process
 * once, and nothing between scrapes.
 */

#include "cmd/serve.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cmd/failure.h"
#include "core/fleet.h"
#include "core/http.h"
#include "report/exposition.h"
#include "report/words.h"
#include "sys/clock.h"
#include "sys/events.h"
#include "sys/net.h"
#include "sys/pidfds.h"
#include "sys/proc.h"
#include "sys/records.h"
#include "sys/scan_proc.h"

namespace {

constexpr Nanos SECOND = 1'000'000'000;
/* A client gets this long to send its request and take the answer. */
constexpr Nanos CLIENT_TIME = 5 * SECOND;
/* Beyond these the oldest connection is dropped for the new one: clients
 * that stall never keep the next scrape out. */
constexpr size_t MOST_CLIENTS = 16;
/*
 * Once the records come, they are read each DRAIN until none came: one
 * wake for a burst, not three for each process (its fork's, its exit's,
 * its pidfd's).  A process collected within that is timed by a bound.
 */
constexpr Nanos DRAIN = 10'000'000;
/* Ended processes held by a pidfd, to time their collection: beyond, an
 * end is counted but not timed. */
constexpr size_t MOST_HELD = 8192;

enum Kind : std::uint64_t {
	LISTENER = 1,
	SIGNALS,
	TICK,
	RING,
	DRAIN_TICK,
	CLIENT,
	HELD,
};

std::uint64_t
token(Kind k, std::uint64_t n = 0)
{
	return (std::uint64_t)k << 56 | n;
}

/*
 * A process whose main thread's exit was recorded: ended once its pidfd
 * says the whole group has, at its last thread's recorded exit.
 */
struct Held {
	Fd fd;
	Nanos end = 0;
	bool ended = false;
};

struct Client {
	Fd fd;
	std::string in, out;
	size_t sent = 0;
	Nanos since = 0;
};

class Server {
      public:
	explicit Server(Listen where) : where_(std::move(where))
	{
	}
	std::optional<Failure> open();
	/* Until a signal: which one, in f. */
	std::optional<Failure> run(ExitFacts &f);

      private:
	Listen where_;
	Nanos t0_ = monotonic_now();
	Epoll ep_;
	SignalFd signals_;
	TimerFd tick_;
	TimerFd drain_;
	bool draining_ = false;
	Fd listener_;
	ForkRecords rings_;
	bool hup_ = false;
	std::optional<Fleet> fleet_;
	std::unordered_map<pid_t, Held> held_;
	std::unordered_map<std::uint64_t, Client> clients_;
	std::uint64_t next_client_ = 0;
	std::vector<std::string> unseen_; /* what it cannot see, said once */
	bool hidden_told_ = false;

	Nanos now() const
	{
		return monotonic_now() - t0_;
	}
	void tell(const std::string &what);
	size_t on_records();
	bool rings_wake(bool wake);
	void on_drain();
	void on_exit(const Record &r);
	void on_held(pid_t pid, bool exited, bool gone);
	void on_listener();
	void on_client(std::uint64_t id);
	void on_tick();
	bool on_ready(const Epoll::Ready &r, ExitFacts &f);
	void send(std::uint64_t id, Client &c);
	Answer answer(const Request &req);
	std::string metrics(Format f);
};

/* Said on standard error once, and on the index page for as long. */
void
Server::tell(const std::string &what)
{
	(void)fprintf(stderr, "zombie-watch: %s\n", what.c_str());
	unseen_.push_back(what);
}

std::optional<Failure>
Server::open()
{
	sigset_t mask;

	(void)sigemptyset(&mask);
	/* Ignored when it was started, as under nohup: ignored they stay. */
	for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
		struct sigaction was;
		if (sigaction(sig, nullptr, &was) == 0 &&
		    was.sa_handler != SIG_IGN)
			(void)sigaddset(&mask, sig);
	}
	if (sigprocmask(SIG_BLOCK, &mask, nullptr) == -1)
		return failure("sigprocmask");
	/* A pidfd for each zombie held: as many as the system lets it. */
	struct rlimit files;
	if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
		files.rlim_cur = files.rlim_max;
		(void)setrlimit(RLIMIT_NOFILE, &files);
	}
	/* A client gone mid-answer is a failed write, not our end. */
	(void)signal(SIGPIPE, SIG_IGN);
	std::optional<SignalFd> s = SignalFd::open(mask);
	std::optional<Epoll> e = Epoll::open();
	std::optional<TimerFd> t = TimerFd::open();
	std::optional<TimerFd> d = TimerFd::open();
	if (!s || !e || !t || !d)
		return failure(!s ? "signalfd" : !e ? "epoll" : "timerfd");
	signals_ = std::move(*s);
	ep_ = std::move(*e);
	tick_ = std::move(*t);
	drain_ = std::move(*d);
	listener_ = listen_on(where_);
	std::string host = where_.v6 ? "[" + where_.host + "]" : where_.host;
	if (!listener_)
		return failure(host + ":" + std::to_string(where_.port));
	if (!ep_.add(listener_.get(), token(LISTENER)) ||
	    !ep_.add(signals_.fd(), token(SIGNALS)) ||
	    !ep_.add(tick_.fd(), token(TICK)) ||
	    !ep_.add(drain_.fd(), token(DRAIN_TICK)) ||
	    !tick_.set(SECOND, SECOND))
		return failure("epoll");
	bool records = rings_.open(-1);
	if (records && !rings_wake(true))
		return failure("epoll");
	hup_ = pidfd_hangs_up();
	fleet_.emplace(records);
	std::optional<std::uint16_t> port = bound_port(listener_);
	(void)fprintf(stderr, "zombie-watch: serving http://%s:%u/metrics\n",
	    host.c_str(), (unsigned)port.value_or(where_.port));
	if (!records)
		tell("the kernel's records of exits are refused (it takes root "
		     "or CAP_PERFMON): zombies are counted from /proc, and no "
		     "exit, collection or duration is");
	else if (!hup_)
		tell("this kernel's pidfds do not hang up at a collection "
		     "(Linux 6.9 does): exits are counted, collections are "
		     "not timed");
	return std::nullopt;
}

/*
 * A main thread's exit record is not yet its process's end: the process
 * may exit a moment later, or its other threads run on, or it exec'd
 * (the kernel writes the old main thread's exit then).  It is held, and
 * ended when its pidfd says the whole group has; a later thread's exit
 * moves the end.
 */
void
Server::on_exit(const Record &r)
{
	auto it = held_.find(r.pid);
	if (it != held_.end()) {
		it->second.end = std::max(it->second.end, r.t);
		return;
	}
	if (r.pid != r.tid)
		return;
	Fd fd = pidfd_open(r.pid);
	if (!fd && errno == ESRCH) {
		/* Gone already: collected by now, at most so long a zombie. */
		fleet_->ended(r.pid, r.t);
		fleet_->collected(r.pid, now(), false);
		return;
	}
	/* Not to be held: its end is counted, not timed. */
	if (!fd || !hup_ || held_.size() >= MOST_HELD ||
	    !ep_.add(fd.get(), token(HELD, (std::uint64_t)r.pid),
		Epoll::Trigger::Edge)) {
		fleet_->ended(r.pid, r.t);
		return;
	}
	held_[r.pid] = Held{std::move(fd), r.t, false};
}

/* How many records there were. */
size_t
Server::on_records()
{
	std::vector<Record> recs;
	std::optional<Loss> loss = rings_.read(recs, t0_, now());

	if (loss)
		fleet_->lost(loss->records);
	for (const Record &r : recs)
		if (!r.fork && !r.exec)
			on_exit(r);
	return recs.size();
}

/* Whether the rings wake the loop, or wait for the drain. */
bool
Server::rings_wake(bool wake)
{
	for (int fd : rings_.fds()) {
		if (!wake)
			ep_.remove(fd);
		else if (!ep_.add(fd, token(RING)))
			return false;
	}
	draining_ = !wake;
	return true;
}

/* Read again while records come; woken by the next one once they stop. */
void
Server::on_drain()
{
	(void)drain_.take();
	if (on_records() > 0 || !rings_wake(true))
		(void)drain_.set(DRAIN);
}

/* Readable: its whole group has exited; hung up: collected, just now. */
void
Server::on_held(pid_t pid, bool exited, bool gone)
{
	auto it = held_.find(pid);
	if (it == held_.end())
		return;
	Held &h = it->second;
	if ((exited || gone) && !h.ended) {
		h.ended = true;
		fleet_->ended(pid, h.end);
	}
	if (!gone)
		return;
	ep_.remove(h.fd.get());
	held_.erase(it);
	fleet_->collected(pid, now(), true);
}

void
Server::on_listener()
{
	while (Fd fd = accept_one(listener_)) {
		if (clients_.size() >= MOST_CLIENTS) {
			auto oldest = std::min_element(clients_.begin(),
			    clients_.end(), [](const auto &a, const auto &b) {
				    return a.second.since < b.second.since;
			    });
			ep_.remove(oldest->second.fd.get());
			clients_.erase(oldest);
		}
		std::uint64_t id = next_client_++;
		if (!ep_.add(fd.get(), token(CLIENT, id)))
			continue;
		Client c;
		c.fd = std::move(fd);
		c.since = now();
		clients_.emplace(id, std::move(c));
	}
}

std::string
Server::metrics(Format f)
{
	std::optional<Scan> scan = scan_read();
	if (!scan)
		return {};
	if (scan->hidden_by && !hidden_told_) {
		hidden_told_ = true;
		tell("/proc is mounted " + visible(*scan->hidden_by) +
		     ": other users' processes, and their zombies, are not "
		     "seen");
	}
	std::vector<std::string> cgroups;
	for (size_t i = 0; i < scan->parents.size() && i < MOST_PARENTS; i++)
		cgroups.push_back(cgroup_read(scan->parents[i].proc.pid));
	return exposition(fleet_->scrape(*scan, cgroups, now()), f);
}

Answer
Server::answer(const Request &req)
{
	Answer a;
	a.type = "text/plain; charset=utf-8";
	if (req.path != "/" && req.path != "/metrics") {
		a.status = 404;
		a.body = "not found: the metrics are at /metrics\n";
		return a;
	}
	if (req.method != "GET") {
		a.status = 405;
		a.allow = true;
		a.body = "only GET\n";
		return a;
	}
	if (req.path == "/") {
		a.body = "zombie-watch --serve: the zombies of this machine, "
			 "and how long each stayed one, at /metrics\n";
		for (const std::string &u : unseen_)
			a.body += "not seen: " + u + "\n";
		return a;
	}
	Format f = req.openmetrics ? Format::OpenMetrics : Format::Text;
	a.body = metrics(f);
	if (a.body.empty()) {
		a.status = 503;
		a.body = "/proc could not be read\n";
		return a;
	}
	a.type = content_type(f);
	return a;
}

void
Server::send(std::uint64_t id, Client &c)
{
	while (c.sent < c.out.size()) {
		ssize_t n = write(
		    c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && errno == EAGAIN)
			return; /* told when there is room */
		if (n <= 0)
			break;
		c.sent += (size_t)n;
	}
	ep_.remove(c.fd.get());
	clients_.erase(id);
}

void
Server::on_client(std::uint64_t id)
{
	auto it = clients_.find(id);
	if (it == clients_.end())
		return;
	Client &c = it->second;
	if (!c.out.empty()) {
		send(id, c);
		return;
	}
	char buf[4096];
	ssize_t n;
	while ((n = read(c.fd.get(), buf, sizeof(buf))) > 0 &&
	       c.in.size() < MOST_HEAD)
		c.in.append(buf, (size_t)n);
	if (n == 0 && c.in.empty()) {
		ep_.remove(c.fd.get());
		clients_.erase(it);
		return;
	}
	Request req;
	Parse p = parse_request(c.in, req);
	if (p == Parse::More && n != 0)
		return;
	Answer a;
	if (p == Parse::Done)
		a = answer(req);
	else {
		a.status = 400;
		a.type = "text/plain; charset=utf-8";
		a.body = "bad request\n";
	}
	c.out = response(a);
	/* From now on it is told when it can take more of the answer. */
	ep_.remove(c.fd.get());
	if (!ep_.add(c.fd.get(), token(CLIENT, id), Epoll::Trigger::Writable)) {
		clients_.erase(it);
		return;
	}
	send(id, c);
}

void
Server::on_tick()
{
	(void)tick_.take();
	Nanos t = now();
	for (auto it = clients_.begin(); it != clients_.end();)
		if (t - it->second.since > CLIENT_TIME) {
			ep_.remove(it->second.fd.get());
			it = clients_.erase(it);
		} else
			++it;
}

/* One descriptor's news; true when a signal ends the server. */
bool
Server::on_ready(const Epoll::Ready &r, ExitFacts &f)
{
	std::uint64_t n = r.token & ((1ULL << 56) - 1);

	switch ((Kind)(r.token >> 56)) {
	case LISTENER:
		on_listener();
		break;
	case SIGNALS:
		if (std::optional<struct signalfd_siginfo> si =
			signals_.take()) {
			f.signal = (int)si->ssi_signo;
			return true;
		}
		break;
	case TICK:
		on_tick();
		break;
	case RING:
		/* Its first records: the rest come with the drain. */
		if (!draining_) {
			(void)on_records();
			(void)rings_wake(false);
			(void)drain_.set(DRAIN);
		}
		break;
	case DRAIN_TICK:
		on_drain();
		break;
	case CLIENT:
		on_client(n);
		break;
	case HELD:
		on_held((pid_t)n, r.in, r.hup);
		break;
	}
	return false;
}

std::optional<Failure>
Server::run(ExitFacts &f)
{
	std::vector<Epoll::Ready> ready;

	for (;;) {
		if (!ep_.wait(-1, ready) && !ep_.interrupted())
			return failure("epoll_wait");
		for (const Epoll::Ready &r : ready)
			if (on_ready(r, f))
				return std::nullopt;
	}
}

} // namespace

ExitFacts
serve_mode(const Options &o)
{
	ExitFacts f;
	f.mode = Mode::Serve;
	f.answered = true;
	Server s(*o.serve);
	std::optional<Failure> e = s.open();
	if (!e)
		e = s.run(f);
	if (e) {
		(void)fprintf(stderr, "zombie-watch: %s\n", e->text.c_str());
		f.failed = true;
	}
	return f;
}
