// SPDX-License-Identifier: BSD-2-Clause
/* The loop's epoll set, signalfd and timerfds. */

#include "sys/events.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <array>

std::optional<Epoll>
Epoll::open()
{
	Fd fd(epoll_create1(EPOLL_CLOEXEC));

	if (!fd)
		return std::nullopt;
	return Epoll(std::move(fd));
}

bool
Epoll::add(int fd, std::uint64_t token, Trigger how)
{
	struct epoll_event ev = {};

	ev.events = how == Trigger::Writable ? EPOLLOUT | EPOLLET
		    : how == Trigger::Edge   ? EPOLLIN | EPOLLET
					     : EPOLLIN;
	ev.data.u64 = token;
	return epoll_ctl(fd_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

void
Epoll::remove(int fd)
{
	(void)epoll_ctl(fd_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

bool
Epoll::wait(int timeout_ms, std::vector<Ready> &ready)
{
	std::array<struct epoll_event, MOST> evs;

	ready.clear();
	int n = epoll_wait(fd_.get(), evs.data(), (int)evs.size(), timeout_ms);
	interrupted_ = n == -1 && errno == EINTR;
	if (n == -1)
		return interrupted_;
	for (int i = 0; i < n; i++)
		ready.push_back(
		    Ready{evs[i].data.u64, (evs[i].events & EPOLLIN) != 0,
			(evs[i].events & EPOLLHUP) != 0});
	return true;
}

std::optional<SignalFd>
SignalFd::open(const sigset_t &signals)
{
	Fd fd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));

	if (!fd)
		return std::nullopt;
	return SignalFd(std::move(fd), signals);
}

std::optional<struct signalfd_siginfo>
SignalFd::take() const
{
	struct signalfd_siginfo si;

	if (read(fd_.get(), &si, sizeof(si)) != (ssize_t)sizeof(si))
		return std::nullopt;
	return si;
}

bool
SignalFd::take(int sig) const
{
	sigset_t one;
	struct timespec now = {0, 0};

	if (sigpending(&one) == -1 || sigismember(&one, sig) != 1)
		return false;
	(void)sigemptyset(&one);
	(void)sigaddset(&one, sig);
	return sigtimedwait(&one, nullptr, &now) == sig;
}

std::optional<TimerFd>
TimerFd::open()
{
	Fd fd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));

	if (!fd)
		return std::nullopt;
	return TimerFd(std::move(fd));
}

static struct timespec
timespec_of(Nanos ns)
{
	return {(time_t)(ns / 1'000'000'000), (long)(ns % 1'000'000'000)};
}

bool
TimerFd::set(Nanos first, Nanos period)
{
	struct itimerspec when = {timespec_of(period), timespec_of(first)};

	return timerfd_settime(fd_.get(), 0, &when, nullptr) == 0;
}

bool
TimerFd::take() const
{
	unsigned long long n;

	return read(fd_.get(), &n, sizeof(n)) == (ssize_t)sizeof(n);
}
