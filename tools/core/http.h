// SPDX-License-Identifier: BSD-2-Clause
/*
 * The little HTTP that zombie-watch --serve speaks: a request's head,
 * read from bytes as they come, and an answer, one to a connection.
 * Pure, so that a test feeds it any bytes.
 */
#ifndef ZOMBIE_CORE_HTTP_H
#define ZOMBIE_CORE_HTTP_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/* The most a request's head may take: no scraper sends more. */
constexpr size_t MOST_HEAD = 8192;

struct Request {
	std::string method;
	std::string path;         /* the target without its query */
	bool openmetrics = false; /* Accept asks for it */
};

enum class Parse : unsigned char {
	More, /* the head is not complete yet */
	Done,
	Bad, /* not HTTP/1, or a head too long: answered 400 */
};

/* Reads a request's head from what has come so far. */
Parse parse_request(std::string_view bytes, Request &req);

struct Answer {
	int status = 200;
	std::string type; /* Content-Type */
	std::string body;
	bool allow = false; /* 405: says which method is allowed */
};

/* The whole response, the connection closed after it. */
std::string response(const Answer &a);

/* Where --serve listens: a numeric host and a port. */
struct Listen {
	std::string host; /* IPv4 dotted or IPv6, without brackets */
	std::uint16_t port = 0;
	bool v6 = false;
};

/* "127.0.0.1:9999", "[::1]:9999" or ":9999" (every IPv4 address). */
std::optional<Listen> parse_listen(std::string_view text);

#endif
