// Load client for ortv-data-server's benchmark (bench.sh). Plain POSIX sockets, one thread,
// so the client itself costs little of the machine it shares with the server. Talks to
// 127.0.0.1 only. Every command prints one line of key=value pairs.
//
//   ortv-bench fill  --keys K                    store keys 0..K-1, wait until all are in
//   ortv-bench flood --keys K --rate R --seconds T [--read] [--array N] [--pid P] [--log F]
//   ortv-bench rtt   --clients C --requests N [--pid P]
//                                                ReadData round trips, C requests in flight
//   ortv-bench http  --path /Data --requests N   HTTP GET latency on fresh connections
//   ortv-bench sleep --count N                   how long a 10 ms sleep really takes here
//   ortv-bench probe --seconds T [--pid P]       /Status every 100 ms on a fresh connection,
//                                                ReadData every 20 ms, keep-alive frames seen
//   ortv-bench overload --keys K --rate R --seconds T [--pid P] [--metrics PORT]
//                                                SetData at R/s from one socket while probing
//                                                (also GET /metrics on PORT every 100 ms)
//   ortv-bench counted --sets S --reads R --bad B --sockets N [--rate X]
//                                                known traffic from N sockets, for the counters
//   ortv-bench peers --first F --count N         N more endpoints, one SetData each
//   ortv-bench sequence --keys K --rate R --seconds T --base B
//                                                SetData number n (from 0) stores B+n in key
//                                                n mod K, paced from the printed start time
#include "BenchSystem.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace bench;

using Clock = std::chrono::steady_clock;

constexpr int udpPort = 1234;
constexpr int httpPort = 8080;
const char *const markerKey = "bench.marker";

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "ortv-bench: %s\n", what.c_str());
    std::exit(2);
}

std::string keyName(long i)
{
    char name[32];
    std::snprintf(name, sizeof name, "bench.key.%06ld", i);
    return name;
}

std::string setCommand(long key, long value)
{
    return "{\"cmd\":\"SetData\",\"url\":\"" + keyName(key) + "\",\"data\":\""
        + std::to_string(value) + ".5\"}";
}

std::string readCommand(const std::string &key)
{
    return "{\"cmd\":\"ReadData\",\"url\":\"" + key + "\"}";
}

// A UDP socket connected to the server, so send() and recv() need no address.
class UdpClient
{
public:
    UdpClient()
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        if (fd < 0)
            fail("socket");
        const int buffer = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        const sockaddr_in server = loopback(udpPort);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0)
            fail("connect udp");
    }
    ~UdpClient() { close(fd); }
    UdpClient(const UdpClient &) = delete;
    UdpClient &operator=(const UdpClient &) = delete;

    bool send(const std::string &payload)
    {
        for (;;) {
            if (::send(fd, payload.data(), payload.size(), 0) == ssize_t(payload.size()))
                return true;
            if (errno == EAGAIN || errno == ENOBUFS) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 10);
                continue;
            }
            return false;  // e.g. ECONNREFUSED after an ICMP error: not sent
        }
    }
    // Next reply within timeoutMs; empty when none came.
    std::string receive(int timeoutMs)
    {
        char data[65536];
        ssize_t n = recv(fd, data, sizeof data, 0);
        if (n < 0 && timeoutMs > 0) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) > 0)
                n = recv(fd, data, sizeof data, 0);
        }
        return n > 0 ? std::string(data, size_t(n)) : std::string();
    }

    int fd = -1;
};

std::map<std::string, std::string> parseOptions(int argc, char **argv)
{
    std::map<std::string, std::string> options;
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        if (name.rfind("--", 0) != 0)
            fail("unexpected argument " + name);
        name = name.substr(2);
        if (name == "read") {
            options[name] = "1";
            continue;
        }
        if (i + 1 >= argc)
            fail("missing value for --" + name);
        options[name] = argv[++i];
    }
    return options;
}

double number(const std::map<std::string, std::string> &options, const std::string &name,
              double fallback)
{
    const auto it = options.find(name);
    return it == options.end() ? fallback : std::atof(it->second.c_str());
}

long long fileSize(const std::string &path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

// RX lines the server wrote after offset, not counting the end-of-run marker's.
long long countReceivedLines(const std::string &path, long long offset)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return -1;
    file.seekg(offset);
    long long count = 0;
    std::string line;
    // A last line without its newline is still being written (the marker's, after its reply).
    while (std::getline(file, line) && !file.eof()) {
        if (line.compare(0, 4, "RX (") == 0 && line.find(markerKey) == std::string::npos)
            ++count;
    }
    return count;
}

// Sends the marker and waits for its answer: the server has then handled everything sent
// before it from this socket. The marker is sent again every 200 ms, as a full receive buffer
// may drop it too. Other replies that arrive meanwhile are counted in replies.
bool syncWithServer(UdpClient &client, long long &replies, int timeoutMs = 30000)
{
    const auto start = Clock::now();
    double nextSend = 0;
    while (secondsSince(start) * 1000 < timeoutMs) {
        if (secondsSince(start) >= nextSend) {
            if (!client.send(readCommand(markerKey)))
                return false;
            nextSend += 0.2;
        }
        const std::string reply = client.receive(20);
        if (reply.empty())
            continue;
        if (reply.find(markerKey) != std::string::npos)
            return true;
        ++replies;
    }
    return false;
}

int fill(const std::map<std::string, std::string> &options)
{
    const long keys = long(number(options, "keys", 100));
    const double rate = number(options, "rate", 50000);
    UdpClient client;
    const auto start = Clock::now();
    for (long i = 0; i < keys; ++i) {
        while (i > rate * secondsSince(start))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (!client.send(setCommand(i, i)))
            fail("send");
    }
    long long replies = 0;
    if (!syncWithServer(client, replies))
        fail("no answer from the server after filling");
    // Every key must be there: read the last one back.
    client.send(readCommand(keyName(keys - 1)));
    const std::string last = client.receive(5000);
    const bool ok = last.find(std::to_string(keys - 1) + ".5") != std::string::npos;
    std::printf("keys=%ld seconds=%.2f ok=%d\n", keys, secondsSince(start), ok ? 1 : 0);
    return ok ? 0 : 1;
}

int flood(const std::map<std::string, std::string> &options)
{
    const long keys = std::max(1L, long(number(options, "keys", 100)));
    const double rate = number(options, "rate", 10000);
    const double seconds = number(options, "seconds", 2);
    const int arrayLength = int(number(options, "array", 0));
    const bool read = options.count("read") > 0;
    const long pid = long(number(options, "pid", 0));
    const std::string log = options.count("log") ? options.at("log") : std::string();
    const long total = long(rate * seconds);

    // Payloads are made before the clock starts.
    std::vector<std::string> payloads;
    const long distinct = std::min<long>(total, 4096);
    long key = 0;
    for (long i = 0; i < distinct; ++i) {
        if (arrayLength > 0) {
            std::string array = "[";
            for (int c = 0; c < arrayLength; ++c, key = (key + 1) % keys) {
                if (c)
                    array += ',';
                array += read ? readCommand(keyName(key)) : setCommand(key, i);
            }
            payloads.push_back(array + "]");
        } else {
            payloads.push_back(read ? readCommand(keyName(key)) : setCommand(key, i));
            key = (key + 1) % keys;
        }
    }

    UdpClient client;
    const long long logStart = log.empty() ? -1 : fileSize(log);
    const long long errorsBefore = udpReceiveErrors();
    const double cpuBefore = cpuSeconds(pid);
    long long replies = 0, sent = 0, failed = 0;
    const auto start = Clock::now();
    while (sent + failed < total) {
        const long due = std::min<long>(total, long(rate * secondsSince(start)) + 1);
        while (sent + failed < due) {
            if (client.send(payloads[size_t((sent + failed) % distinct)]))
                ++sent;
            else
                ++failed;
        }
        // Replies are read as they come, so the client's own buffer never overflows.
        while (!client.receive(0).empty())
            ++replies;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const double sendSeconds = secondsSince(start);
    const auto lastSend = Clock::now();
    const bool synced = syncWithServer(client, replies);
    const double drainMs = secondsSince(lastSend) * 1000;
    const double cpuAfter = cpuSeconds(pid);
    const long long errors = udpReceiveErrors() - errorsBefore;
    const long long received = log.empty() ? -1 : countReceivedLines(log, logStart);
    const long long commands = sent * std::max(1, arrayLength);

    std::printf("offered=%.0f sent=%lld failed=%lld commands=%lld received=%lld lost=%lld "
                "kernel_drops=%lld replies=%lld drain_ms=%.1f synced=%d cpu_s=%.2f "
                "cpu_us_per_cmd=%.2f\n",
                double(sent) / sendSeconds, sent, failed, commands, received,
                received < 0 ? -1 : sent - received, errors, replies, drainMs, synced ? 1 : 0,
                cpuBefore < 0 ? -1.0 : cpuAfter - cpuBefore,
                cpuBefore < 0 ? -1.0 : (cpuAfter - cpuBefore) * 1e6 / double(commands));
    return synced ? 0 : 1;
}

int roundTrips(const std::map<std::string, std::string> &options)
{
    const int clients = std::max(1, int(number(options, "clients", 1)));
    const int requests = std::max(1, int(number(options, "requests", 500)));
    std::vector<UdpClient> sockets(static_cast<size_t>(clients));
    std::vector<Clock::time_point> sentAt(sockets.size());
    std::vector<int> done(sockets.size(), 0);
    std::vector<pollfd> polls;
    std::vector<double> rtts;
    const std::string request = readCommand(keyName(0));
    const long pid = long(number(options, "pid", 0));
    const double cpuBefore = cpuSeconds(pid);
    const auto start = Clock::now();
    for (size_t i = 0; i < sockets.size(); ++i) {
        polls.push_back({sockets[i].fd, POLLIN, 0});
        sentAt[i] = Clock::now();
        sockets[i].send(request);
    }
    long lost = 0;
    int active = clients;
    while (active > 0) {
        if (poll(polls.data(), polls.size(), 100) < 0)
            fail("poll");
        for (size_t i = 0; i < sockets.size(); ++i) {
            if (done[i] >= requests)
                continue;
            const bool answered = (polls[i].revents & POLLIN) && !sockets[i].receive(0).empty();
            const double waited = secondsSince(sentAt[i]);
            if (!answered && waited < 2.0)
                continue;
            if (answered)
                rtts.push_back(waited * 1000);
            else
                ++lost;
            if (++done[i] == requests) {
                --active;
                polls[i].events = 0;
                continue;
            }
            sentAt[i] = Clock::now();
            sockets[i].send(request);
        }
    }
    const double seconds = secondsSince(start);
    const double cpuAfter = cpuSeconds(pid);
    std::printf("clients=%d samples=%zu lost=%ld p50_ms=%.3f p99_ms=%.3f max_ms=%.3f "
                "per_s=%.0f cpu_us_per_cmd=%.2f\n",
                clients, rtts.size(), lost, percentile(rtts, 0.50), percentile(rtts, 0.99),
                rtts.empty() ? -1.0 : *std::max_element(rtts.begin(), rtts.end()),
                double(rtts.size()) / seconds,
                cpuBefore < 0 || rtts.empty() ? -1.0
                                              : (cpuAfter - cpuBefore) * 1e6 / double(rtts.size()));
    return lost == 0 ? 0 : 1;
}

// One GET on a fresh connection; the body, or empty on failure.
std::string httpGet(const std::string &path)
{
    std::string body;
    return bench::httpGet(httpPort, path, body, 10000) ? body : std::string();
}

int http(const std::map<std::string, std::string> &options)
{
    const std::string path = options.count("path") ? options.at("path") : "/Data";
    const int requests = std::max(1, int(number(options, "requests", 10)));
    std::vector<double> times;
    size_t bytes = 0, entries = 0;
    for (int i = 0; i < requests; ++i) {
        const auto start = Clock::now();
        const std::string body = httpGet(path);
        times.push_back(secondsSince(start) * 1000);
        if (body.empty())
            fail("bad HTTP answer");
        bytes = body.size();
        // One object per key in "data": count the separators between them.
        entries = 0;
        for (size_t at = body.find("\"data\":[{"); at != std::string::npos;
             at = body.find("},{", at + 1))
            ++entries;
    }
    std::printf("requests=%d bytes=%zu entries=%zu p50_ms=%.1f max_ms=%.1f\n", requests, bytes,
                entries, percentile(times, 0.5), *std::max_element(times.begin(), times.end()));
    return 0;
}

// The server sleeps 10 ms between passes; how long such a sleep takes on this machine right
// now bounds every round trip that has to wait for the next pass.
int sleepFloor(const std::map<std::string, std::string> &options)
{
    const int count = std::max(1, int(number(options, "count", 300)));
    std::vector<double> slept;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        usleep(10000);
        slept.push_back(secondsSince(start) * 1000);
    }
    std::printf("sleeps=%d p50_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", count, percentile(slept, 0.5),
                percentile(slept, 0.99), *std::max_element(slept.begin(), slept.end()));
    return 0;
}

long rssKib(long pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

std::string stats(const char *name, const std::vector<double> &ms)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s_n=%zu %s_p50_ms=%.1f %s_p99_ms=%.1f %s_max_ms=%.1f", name,
                  ms.size(), name, percentile(ms, 0.5), name, percentile(ms, 0.99), name,
                  ms.empty() ? -1.0 : *std::max_element(ms.begin(), ms.end()));
    return text;
}

// GET path on port on a fresh connection every 100 ms, in a thread of its own so that a slow
// answer does not hold up the other probes; the answer is complete when it ends with `last`.
// A request not answered in 5 s counts as failed.
void probeHttp(const std::atomic<bool> &running, int port, const std::string &path,
               const std::string &last, std::vector<double> &times, int &failed)
{
    while (running) {
        const auto start = Clock::now();
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in server = loopback(port);
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
        bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) == 0
            && ::send(fd, request.data(), request.size(), 0) == ssize_t(request.size());
        std::string data;
        while (ok && (data.size() < last.size()
                      || data.compare(data.size() - last.size(), last.size(), last) != 0)) {
            pollfd p{fd, POLLIN, 0};
            const int left = 5000 - int(secondsSince(start) * 1000);
            char chunk[4096];
            ssize_t n = 0;
            ok = left > 0 && poll(&p, 1, left) > 0 && (n = recv(fd, chunk, sizeof chunk, 0)) > 0;
            if (ok)
                data.append(chunk, size_t(n));
        }
        close(fd);
        if (ok)
            times.push_back(secondsSince(start) * 1000);
        else
            ++failed;
        std::this_thread::sleep_for(std::chrono::milliseconds(100) - (Clock::now() - start));
    }
}

// ReadData every 20 ms from one socket (a peer like any other), 1 s to answer; keep-alive
// frames to that socket are recorded with their arrival, seconds since the probe started.
void probeRead(const std::atomic<bool> &running, std::vector<double> &times, long &lost,
               std::vector<double> &keepAlives)
{
    UdpClient client;
    const auto begin = Clock::now();
    while (running) {
        const auto start = Clock::now();
        client.send(readCommand(keyName(0)));
        bool answered = false;
        while (!answered && secondsSince(start) < 1.0) {
            const std::string reply = client.receive(10);
            if (reply.find("keep.alive") != std::string::npos)
                keepAlives.push_back(secondsSince(begin));
            else if (!reply.empty())
                answered = true;
        }
        if (answered)
            times.push_back(secondsSince(start) * 1000);
        else
            ++lost;
        while (secondsSince(start) < 0.02) {
            const std::string reply = client.receive(2);
            if (reply.find("keep.alive") != std::string::npos)
                keepAlives.push_back(secondsSince(begin));
        }
    }
}

// Runs the probes for `seconds` beside `load` (which runs until told to stop and returns what
// it has to say) and prints one line: latencies, losses, keep-alive arrivals and periods, RSS.
template <typename Load>
int runProbes(double seconds, long pid, Load load, int metricsPort = 0)
{
    std::string prefix;
    std::atomic<bool> running{true};
    std::vector<double> statusTimes, readTimes, keepAlives, metricsTimes;
    int statusFailed = 0, metricsFailed = 0;
    long readLost = 0;
    const long rssBefore = rssKib(pid);
    const double cpuBefore = cpuSeconds(pid);
    const long long errorsBefore = udpReceiveErrors();
    const auto start = Clock::now();
    std::thread loader([&] { prefix = load(running); });
    std::thread status([&] {
        probeHttp(running, httpPort, "/Status", "\"status\":\"success\"}", statusTimes,
                  statusFailed);
    });
    // The exposition ends with the build information line.
    std::thread metrics([&] {
        if (metricsPort > 0)
            probeHttp(running, metricsPort, "/metrics", "} 1\n", metricsTimes, metricsFailed);
    });
    std::thread reader([&] { probeRead(running, readTimes, readLost, keepAlives); });
    long rssMin = rssBefore, rssMax = rssBefore;
    while (secondsSince(start) < seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const long rss = rssKib(pid);
        rssMin = std::min(rssMin, rss);
        rssMax = std::max(rssMax, rss);
    }
    running = false;
    loader.join();
    status.join();
    metrics.join();
    reader.join();
    if (metricsPort > 0)
        prefix += stats("metrics", metricsTimes) + " metrics_failed="
            + std::to_string(metricsFailed) + " ";
    const double elapsed = secondsSince(start);
    std::vector<double> periods;
    for (size_t i = 1; i < keepAlives.size(); ++i)
        periods.push_back(keepAlives[i] - keepAlives[i - 1]);
    std::string arrivals;
    for (double at : keepAlives)
        arrivals += (arrivals.empty() ? "" : ",") + std::to_string(at).substr(0, 6);
    std::printf("%scpu_pct=%.0f kernel_drops=%lld %s status_failed=%d %s read_lost=%ld "
                "keepalives=%zu keepalive_at_s=%s period_min_s=%.3f period_max_s=%.3f "
                "rss_start_kib=%ld rss_min_kib=%ld rss_max_kib=%ld\n",
                prefix.c_str(), (cpuSeconds(pid) - cpuBefore) * 100 / elapsed,
                udpReceiveErrors() - errorsBefore, stats("status", statusTimes).c_str(),
                statusFailed, stats("read", readTimes).c_str(), readLost, keepAlives.size(),
                arrivals.empty() ? "-" : arrivals.c_str(),
                periods.empty() ? -1.0 : *std::min_element(periods.begin(), periods.end()),
                periods.empty() ? -1.0 : *std::max_element(periods.begin(), periods.end()),
                rssBefore, rssMin, rssMax);
    return 0;
}

int probe(const std::map<std::string, std::string> &options)
{
    return runProbes(number(options, "seconds", 31), long(number(options, "pid", 0)),
                     [](const std::atomic<bool> &) { return std::string(); });
}

// SetData at `rate` over `keys` keys from one socket, in bursts every 100 µs, while probing.
int overload(const std::map<std::string, std::string> &options)
{
    const long keys = std::max(1L, long(number(options, "keys", 1000)));
    const double rate = number(options, "rate", 160000);
    auto load = [&](const std::atomic<bool> &running) {
        long long sent = 0;
        std::vector<std::string> payloads;
        for (long i = 0; i < std::min(keys, 4096L); ++i)
            payloads.push_back(setCommand(i % keys, i));
        UdpClient client;
        const auto start = Clock::now();
        while (running) {
            const long long due = (long long)(rate * secondsSince(start));
            for (; sent < due; ++sent)
                ::send(client.fd, payloads[size_t(sent) % payloads.size()].data(),
                       payloads[size_t(sent) % payloads.size()].size(), 0);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return "offered_per_s=" + std::to_string(long(double(sent) / secondsSince(start))) + " ";
    };
    return runProbes(number(options, "seconds", 60), long(number(options, "pid", 0)), load,
                     int(number(options, "metrics", 0)));
}

// Known traffic for the metrics' counters: SetData, ReadData and datagrams that are not JSON,
// mixed evenly and sent round-robin from `sockets` sockets at `rate`; then waits for every
// ReadData's reply. Prints what was sent and what came back.
int counted(const std::map<std::string, std::string> &options)
{
    const long sets = long(number(options, "sets", 1000000));
    const long reads = long(number(options, "reads", 10000));
    const long bad = long(number(options, "bad", 1000));
    const size_t sockets = size_t(std::max(1.0, number(options, "sockets", 4)));
    const double rate = number(options, "rate", 50000);
    std::vector<std::unique_ptr<UdpClient>> clients;
    for (size_t i = 0; i < sockets; ++i)
        clients.push_back(std::make_unique<UdpClient>());
    const long total = sets + reads + bad;
    long sentSets = 0, sentReads = 0, sentBad = 0, replies = 0;
    const long long errorsBefore = udpReceiveErrors();
    auto drain = [&] {
        for (auto &client : clients) {
            while (!client->receive(0).empty())
                ++replies;
        }
    };
    const auto start = Clock::now();
    for (long i = 0; sentSets + sentReads + sentBad < total && i < 2 * total; ++i) {
        while (i > rate * secondsSince(start)) {
            drain();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        UdpClient &client = *clients[size_t(i) % sockets];
        // Each kind gets its share of every stretch of the sequence; SetData fill the rest.
        const bool setsDone = sentSets >= sets;
        if (sentReads < reads && (setsDone || (i + 1) * reads / total > sentReads)) {
            sentReads += client.send(readCommand(keyName(i % 1000)));
        } else if (sentBad < bad && (setsDone || (i + 1) * bad / total > sentBad)) {
            sentBad += client.send("not json");
        } else {
            sentSets += client.send(setCommand(i % 1000, i));
        }
    }
    while (replies < sentReads && secondsSince(start) < total / rate + 30) {
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("sets=%ld reads=%ld bad=%ld sockets=%zu replies=%ld kernel_drops=%lld "
                "seconds=%.1f\n", sentSets, sentReads, sentBad, sockets, replies,
                udpReceiveErrors() - errorsBefore, secondsSince(start));
    return replies == sentReads ? 0 : 1;
}

// `count` endpoints that each send one SetData and are never heard from again: sockets bound to
// 127.1.0.0 upwards, 50,000 ports per address, paced at `rate` so the server keeps up.
int peers(const std::map<std::string, std::string> &options)
{
    const long first = long(number(options, "first", 0));
    const long count = long(number(options, "count", 1000));
    const double rate = number(options, "rate", 20000);
    const std::string payload = "{\"cmd\":\"SetData\",\"url\":\"bench.peer\",\"data\":\"1\"}";
    const sockaddr_in server = loopback(udpPort);
    const auto start = Clock::now();
    long failed = 0;
    for (long i = first; i < first + count; ++i) {
        while (i - first > rate * secondsSince(start))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(uint16_t(10000 + i % 50000));
        local.sin_addr.s_addr = htonl((127u << 24 | 1u << 16) + uint32_t(i / 50000));
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0
            || sendto(fd, payload.data(), payload.size(), 0,
                      reinterpret_cast<const sockaddr *>(&server), sizeof server) < 0)
            ++failed;
        close(fd);
    }
    std::printf("endpoints=%ld failed=%ld seconds=%.1f\n", count, failed, secondsSince(start));
    return failed == 0 ? 0 : 1;
}

// SetData n of the run is due at start + n / rate and stores base + n in key n mod keys, so
// what a server holds tells when it held it. Sends to a server that is gone are counted, not
// fatal.
int sequence(const std::map<std::string, std::string> &options)
{
    const long keys = std::max(1L, long(number(options, "keys", 1000)));
    const double rate = number(options, "rate", 2000);
    const double seconds = number(options, "seconds", 5);
    const long base = long(number(options, "base", 0));
    const long total = long(rate * seconds);
    UdpClient client;
    const auto wallStart = std::chrono::system_clock::now();
    const auto start = Clock::now();
    const auto startNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(wallStart.time_since_epoch());
    std::printf("start_ns=%lld\n", static_cast<long long>(startNs.count()));
    std::fflush(stdout);
    long n = 0, failed = 0;
    while (n < total) {
        const long due = std::min<long>(total, long(rate * secondsSince(start)) + 1);
        for (; n < due; ++n) {
            if (!client.send(setCommand(n % keys, base + n)))
                ++failed;
        }
        while (!client.receive(0).empty()) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::printf("sent=%ld failed=%ld\n", n, failed);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        fail("usage: ortv-bench fill|flood|rtt|http [--option value ...]");
    using Command = int (*)(const std::map<std::string, std::string> &);
    static const std::map<std::string, Command> commands = {
        {"fill", fill},       {"flood", flood},       {"rtt", roundTrips},
        {"http", http},       {"sleep", sleepFloor},  {"probe", probe},
        {"overload", overload}, {"peers", peers},     {"sequence", sequence},
        {"counted", counted},
    };
    const std::string command = argv[1];
    const auto found = commands.find(command);
    if (found == commands.end())
        fail("unknown command " + command);
    return found->second(parseOptions(argc, argv));
}
