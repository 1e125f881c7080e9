// SPDX-License-Identifier: BSD-2-Clause
#include "sys/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

/* A scraper or two, and the odd curl: more wait in the kernel's queue. */
constexpr int BACKLOG = 16;

Fd
listen_on(const Listen &where)
{
	struct sockaddr_storage ss;
	socklen_t len;

	std::memset(&ss, 0, sizeof(ss));
	if (where.v6) {
		auto *a = reinterpret_cast<struct sockaddr_in6 *>(&ss);
		a->sin6_family = AF_INET6;
		a->sin6_port = htons(where.port);
		(void)inet_pton(AF_INET6, where.host.c_str(), &a->sin6_addr);
		len = sizeof(*a);
	} else {
		auto *a = reinterpret_cast<struct sockaddr_in *>(&ss);
		a->sin_family = AF_INET;
		a->sin_port = htons(where.port);
		(void)inet_pton(AF_INET, where.host.c_str(), &a->sin_addr);
		len = sizeof(*a);
	}
	Fd fd(socket(
	    ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
	int on = 1;
	/* A restarted server takes its port back at once. */
	if (!fd ||
	    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) ==
		-1 ||
	    bind(fd.get(), reinterpret_cast<struct sockaddr *>(&ss), len) ==
		-1 ||
	    listen(fd.get(), BACKLOG) == -1)
		return Fd();
	return fd;
}

std::optional<std::uint16_t>
bound_port(const Fd &listener)
{
	struct sockaddr_storage ss;
	socklen_t len = sizeof(ss);

	if (getsockname(listener.get(),
		reinterpret_cast<struct sockaddr *>(&ss), &len) == -1)
		return std::nullopt;
	if (ss.ss_family == AF_INET6)
		return ntohs(
		    reinterpret_cast<struct sockaddr_in6 *>(&ss)->sin6_port);
	return ntohs(reinterpret_cast<struct sockaddr_in *>(&ss)->sin_port);
}

Fd
accept_one(const Fd &listener)
{
	return Fd(accept4(
	    listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
}
