// Load and measuring client for the MQTT bridge's part of bench.sh (bench/bridge-bench.sh).
// Talks to the data server on 127.0.0.1 (UDP 1234, HTTP 8080) with plain sockets and to the
// broker on 127.0.0.1 with libmosquitto, whose network loop runs on a thread of its own; the
// load itself is paced on the main thread. Every command prints one line of key=value pairs.
//
//   ortv-bridge-bench changes --keys K --rate R --seconds T [--broker-port P] [--no-mqtt 1]
//                             [--status-every MS] [--bridge-pid P] [--server-pid P]
//       fills K keys, then changes R a second (random keys) for T seconds, each value a new
//       sequence number; a change counts as on the broker when PREFIX/data/KEY shows it or a
//       later value of the key. Meanwhile GET /Status every MS ms on a fresh connection.
//   ortv-bridge-bench sets --rate R --seconds T [--qos Q] [--broker-port P] [--bridge-pid P]
//       publishes R messages a second for T seconds on PREFIX/set/KEY (a new key each), then
//       checks that /Data holds every one and when each showed on PREFIX/data/KEY.
//   ortv-bridge-bench retained [--within MS] [--broker-port P]
//       reads /Data, then waits up to MS ms (from its start) until a new subscription to
//       PREFIX/data/ shows every set/ key the server held with its value.
#include "BenchSystem.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace bench;

using Clock = std::chrono::steady_clock;
using Options = std::map<std::string, std::string>;

constexpr int udpPort = 1234;
constexpr int httpPort = 8080;
constexpr size_t datagramLimit = 60000;
const std::string prefix = "ortv";
const std::string changeKey = "bench/change/";
const std::string setKey = "bench/set/";

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "ortv-bridge-bench: %s\n", what.c_str());
    std::exit(2);
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name.rfind("--", 0) != 0)
            fail("unexpected argument " + name);
        options[name.substr(2)] = argv[i + 1];
    }
    if (argc % 2 != 0)
        fail("every option takes a value");
    return options;
}

double number(const Options &options, const std::string &name, double fallback)
{
    const auto it = options.find(name);
    return it == options.end() ? fallback : std::atof(it->second.c_str());
}

std::string keyName(const std::string &group, long i)
{
    char digits[24];
    std::snprintf(digits, sizeof digits, "%06ld", i);
    return group + digits;
}

std::string setCommand(const std::string &key, const std::string &value)
{
    return "{\"cmd\":\"SetData\",\"url\":\"" + key + "\",\"data\":\"" + value + "\"}";
}

// A field of /proc/PID/status in KiB (VmRSS, VmHWM); -1 when unreadable.
long statusKib(long pid, const std::string &name)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (pid > 0 && std::getline(file, line)) {
        if (line.rfind(name + ":", 0) == 0)
            return std::atol(line.c_str() + name.size() + 1);
    }
    return -1;
}

// The CPU share of a process (percent of one core) between start() and stop().
class CpuMeter
{
public:
    explicit CpuMeter(long pid) : pid(pid) {}
    void start()
    {
        begin = cpuSeconds(pid);
        started = Clock::now();
    }
    double stopPercent() const
    {
        const double end = cpuSeconds(pid);
        return begin < 0 || end < 0 ? -1 : (end - begin) * 1e5 / msSince(started);
    }

private:
    long pid;
    double begin = -1;
    Clock::time_point started;
};

class UdpSender
{
public:
    UdpSender()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in server = loopback(udpPort);
        if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0)
            fail("udp socket");
    }
    ~UdpSender() { close(fd); }
    UdpSender(const UdpSender &) = delete;
    UdpSender &operator=(const UdpSender &) = delete;
    bool send(const std::string &payload)
    {
        return ::send(fd, payload.data(), payload.size(), 0) == ssize_t(payload.size());
    }

private:
    int fd = -1;
};

bool httpGet(const std::string &path, std::string &body, int timeoutMs = 10000)
{
    return bench::httpGet(httpPort, path, body, timeoutMs);
}

// GET /Status every `everyMs` on a fresh connection, on a thread of its own, until stopped.
class StatusProbe
{
public:
    void start(int everyMs)
    {
        if (everyMs <= 0)
            return;
        thread = std::thread([this, everyMs] {
            auto next = Clock::now();
            std::string body;
            while (!stopping) {
                const auto sent = Clock::now();
                if (httpGet("/Status", body, 5000) && body.find("success") != std::string::npos)
                    times.push_back(msSince(sent));
                else
                    ++failed;
                next += std::chrono::milliseconds(everyMs);
                std::this_thread::sleep_until(std::max(next, Clock::now()));
            }
        });
    }
    void stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
    }
    std::string summary() const
    {
        char line[200];
        std::snprintf(line, sizeof line,
                      "status_n=%zu status_failed=%ld status_p50_ms=%.1f status_p99_ms=%.1f "
                      "status_max_ms=%.1f",
                      times.size(), failed, percentile(times, 0.5), percentile(times, 0.99),
                      times.empty() ? -1.0 : *std::max_element(times.begin(), times.end()));
        return line;
    }

private:
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::vector<double> times;
    long failed = 0;
};

// A libmosquitto client on its own network thread; every message goes to `handler` on that
// thread. The library is set up once, in main().
class MqttClient
{
public:
    using Handler = void (*)(void *context, const std::string &topic, const std::string &payload);

    MqttClient(const char *id, int port, Handler handler, void *context)
        : handler(handler), context(context)
    {
        client = mosquitto_new(id, true, this);
        if (!client)
            fail("mosquitto_new");
        mosquitto_max_inflight_messages_set(client, 1000);
        mosquitto_message_callback_set(client, [](mosquitto *, void *self, const mosquitto_message *m) {
            auto *c = static_cast<MqttClient *>(self);
            if (c->handler) {
                c->handler(c->context, m->topic,
                           std::string(static_cast<const char *>(m->payload), size_t(m->payloadlen)));
            }
        });
        mosquitto_publish_callback_set(client, [](mosquitto *, void *self, int) {
            ++static_cast<MqttClient *>(self)->acknowledged;
        });
        const auto start = Clock::now();
        while (mosquitto_connect(client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
            if (msSince(start) > 10000)
                fail("no MQTT broker on port " + std::to_string(port));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS)
            fail("mosquitto_loop_start");
    }
    ~MqttClient()
    {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    void subscribe(const std::string &pattern)
    {
        if (mosquitto_subscribe(client, nullptr, pattern.c_str(), 0) != MOSQ_ERR_SUCCESS)
            fail("subscribe " + pattern);
    }
    bool publish(const std::string &topic, const std::string &payload, int qos)
    {
        return mosquitto_publish(client, nullptr, topic.c_str(), int(payload.size()),
                                 payload.data(), qos, false) == MOSQ_ERR_SUCCESS;
    }

    std::atomic<long> acknowledged{0};

private:
    mosquitto *client = nullptr;
    Handler handler;
    void *context;
};

// Waits up to timeoutMs, polling every 20 ms, for done() to hold; false when it never did.
template<typename Done>
bool waitFor(Done done, double timeoutMs)
{
    const auto start = Clock::now();
    while (!done()) {
        if (msSince(start) > timeoutMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The key index of a topic PREFIX/data/GROUP######, or -1.
long keyIndex(const std::string &topic, const std::string &group)
{
    const std::string head = prefix + "/data/" + group;
    if (topic.compare(0, head.size(), head) != 0)
        return -1;
    return std::atol(topic.c_str() + head.size());
}

// ---- changes -------------------------------------------------------------------------------

struct Change
{
    long seq;
    Clock::time_point sent;
};

struct ChangeState
{
    std::mutex mutex;
    std::vector<std::deque<Change>> pending;
    std::vector<char> seen;
    long seenCount = 0;
    std::vector<double> latencies;
};

void changeArrived(void *context, const std::string &topic, const std::string &payload)
{
    auto *state = static_cast<ChangeState *>(context);
    const auto now = Clock::now();
    const long key = keyIndex(topic, changeKey);
    const long seq = std::atol(payload.c_str());
    std::lock_guard<std::mutex> lock(state->mutex);
    if (key < 0 || key >= long(state->pending.size()))
        return;
    if (!state->seen[size_t(key)]) {
        state->seen[size_t(key)] = 1;
        ++state->seenCount;
    }
    // The value shown, or a later one of the key, settles every change up to it.
    auto &queue = state->pending[size_t(key)];
    while (!queue.empty() && queue.front().seq <= seq) {
        state->latencies.push_back(std::chrono::duration<double, std::milli>(now - queue.front().sent).count());
        queue.pop_front();
    }
}

int changes(const Options &options)
{
    const long keys = std::max(1L, long(number(options, "keys", 10000)));
    const double rate = number(options, "rate", 1000);
    const double seconds = number(options, "seconds", 30);
    const bool mqtt = number(options, "no-mqtt", 0) == 0;
    const long bridgePid = long(number(options, "bridge-pid", 0));
    const long serverPid = long(number(options, "server-pid", 0));

    ChangeState state;
    state.pending.resize(size_t(keys));
    state.seen.resize(size_t(keys));
    std::unique_ptr<MqttClient> subscriber;
    if (mqtt) {
        subscriber = std::make_unique<MqttClient>("bench-changes", int(number(options, "broker-port", 1883)),
                                                  &changeArrived, &state);
        subscriber->subscribe(prefix + "/data/" + changeKey + "#");
    }

    // Every key with the value 0, in datagrams of many SetData.
    UdpSender udp;
    std::string batch;
    for (long i = 0; i < keys; ++i) {
        batch += (batch.empty() ? "[" : ",") + setCommand(keyName(changeKey, i), "0");
        if (batch.size() > datagramLimit || i == keys - 1) {
            udp.send(batch + "]");
            batch.clear();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    if (mqtt && !waitFor([&] {
            std::lock_guard<std::mutex> lock(state.mutex);
            return state.seenCount == keys;
        }, 60000))
        fail("the filled keys did not all show on the broker");
    // The bridge has settled (a read or two after the fill) before the clock starts.
    std::this_thread::sleep_for(std::chrono::seconds(2));

    std::mt19937 random(17);
    std::uniform_int_distribution<long> pick(0, keys - 1);
    const long total = long(rate * seconds);
    StatusProbe status;
    CpuMeter bridgeCpu(bridgePid), serverCpu(serverPid);
    const long long errorsBefore = udpReceiveErrors();
    status.start(int(number(options, "status-every", 0)));
    bridgeCpu.start();
    serverCpu.start();
    const auto start = Clock::now();
    for (long seq = 1; seq <= total; ++seq) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(double(seq - 1) / rate));
        std::this_thread::sleep_until(due);
        const long key = pick(random);
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.pending[size_t(key)].push_back({seq, Clock::now()});
        }
        udp.send(setCommand(keyName(changeKey, key), std::to_string(seq)));
    }
    const double sendMs = msSince(start);
    const double bridgePercent = bridgeCpu.stopPercent();
    const double serverPercent = serverCpu.stopPercent();
    status.stop();
    const long rssKib = statusKib(bridgePid, "VmRSS"), hwmKib = statusKib(bridgePid, "VmHWM");

    long missing = 0;
    std::vector<double> latencies;
    if (mqtt) {
        // The last changes have one more read of the bridge, and then some, to show.
        waitFor([&] {
            std::lock_guard<std::mutex> lock(state.mutex);
            return long(state.latencies.size()) == total;
        }, 5000);
        subscriber.reset();
        for (const auto &queue : state.pending)
            missing += long(queue.size());
        latencies = state.latencies;
    }
    std::printf("changes=%ld per_s=%.0f shown=%zu missing=%ld p50_ms=%.1f p99_ms=%.1f max_ms=%.1f "
                "kernel_drops=%lld bridge_cpu_pct=%.1f bridge_rss_kib=%ld bridge_hwm_kib=%ld "
                "server_cpu_pct=%.1f %s\n",
                total, double(total) * 1000 / sendMs, latencies.size(), missing,
                percentile(latencies, 0.5), percentile(latencies, 0.99),
                latencies.empty() ? -1.0 : *std::max_element(latencies.begin(), latencies.end()),
                udpReceiveErrors() - errorsBefore, bridgePercent, rssKib, hwmKib, serverPercent,
                status.summary().c_str());
    return missing == 0 ? 0 : 1;
}

// ---- sets ----------------------------------------------------------------------------------

struct SetState
{
    std::mutex mutex;
    std::vector<Clock::time_point> shown;
    std::vector<char> wasShown;
    long shownCount = 0;
};

void setShown(void *context, const std::string &topic, const std::string &payload)
{
    auto *state = static_cast<SetState *>(context);
    const auto now = Clock::now();
    const long key = keyIndex(topic, setKey);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (key < 0 || key >= long(state->shown.size()) || state->wasShown[size_t(key)]
        || payload != std::to_string(key))
        return;
    state->wasShown[size_t(key)] = 1;
    state->shown[size_t(key)] = now;
    ++state->shownCount;
}

// How many keys GROUP###### of a /Data body hold their own number as value; `found` marks them.
long countStored(const std::string &body, const std::string &group, long keys,
                 std::vector<char> *foundOut = nullptr)
{
    std::vector<char> local;
    std::vector<char> &found = foundOut ? *foundOut : local;
    found.assign(static_cast<size_t>(keys), 0);
    long count = 0;
    const std::string head = "{\"" + group;
    for (size_t at = body.find(head); at != std::string::npos; at = body.find(head, at + 1)) {
        const char *digits = body.c_str() + at + head.size();
        char *end = nullptr;
        const long key = std::strtol(digits, &end, 10);
        if (key < 0 || key >= keys || found[size_t(key)])
            continue;
        const std::string rest = "\":\"" + std::to_string(key) + "\"}";
        if (body.compare(size_t(end - body.c_str()), rest.size(), rest) == 0) {
            found[size_t(key)] = 1;
            ++count;
        }
    }
    return count;
}

int sets(const Options &options)
{
    const double rate = number(options, "rate", 5000);
    const double seconds = number(options, "seconds", 30);
    const int qos = int(number(options, "qos", 1));
    const int port = int(number(options, "broker-port", 1883));
    const long bridgePid = long(number(options, "bridge-pid", 0));
    const long total = long(rate * seconds);

    SetState state;
    state.shown.resize(size_t(total));
    state.wasShown.resize(size_t(total));
    MqttClient subscriber("bench-sets-watch", port, &setShown, &state);
    subscriber.subscribe(prefix + "/data/" + setKey + "#");
    MqttClient publisher("bench-sets", port, nullptr, nullptr);
    std::vector<Clock::time_point> published(static_cast<size_t>(total));

    CpuMeter bridgeCpu(bridgePid);
    const long long errorsBefore = udpReceiveErrors();
    long refused = 0;
    bridgeCpu.start();
    const auto start = Clock::now();
    for (long i = 0; i < total; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(double(i) / rate)));
        published[size_t(i)] = Clock::now();
        if (!publisher.publish(prefix + "/set/" + keyName(setKey, i), std::to_string(i), qos))
            ++refused;
    }
    const double sendMs = msSince(start);
    // Everything shows on data/ within a few reads of the bridge: wait while it makes progress.
    const auto shownNow = [&] {
        std::lock_guard<std::mutex> lock(state.mutex);
        return state.shownCount;
    };
    for (long seen = -1; shownNow() < total && shownNow() != seen;) {
        seen = shownNow();
        std::this_thread::sleep_for(std::chrono::seconds(3));
    }
    const double bridgePercent = bridgeCpu.stopPercent();
    const long hwmKib = statusKib(bridgePid, "VmHWM");

    std::string body;
    const long stored = httpGet("/Data", body, 30000) ? countStored(body, setKey, total) : -1;
    std::vector<double> latencies;
    double lastMs = -1;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        for (long i = 0; i < total; ++i) {
            if (state.wasShown[size_t(i)])
                latencies.push_back(std::chrono::duration<double, std::milli>(
                                        state.shown[size_t(i)] - published[size_t(i)]).count());
        }
        if (total > 0 && state.wasShown[size_t(total - 1)])
            lastMs = std::chrono::duration<double, std::milli>(state.shown[size_t(total - 1)]
                                                              - published[size_t(total - 1)]).count();
    }
    std::printf("published=%ld per_s=%.0f refused=%ld acknowledged=%ld stored=%ld lost=%ld "
                "shown=%zu last_shown_ms=%.0f p50_ms=%.0f p99_ms=%.0f max_ms=%.0f "
                "kernel_drops=%lld bridge_cpu_pct=%.1f bridge_hwm_kib=%ld\n",
                total, double(total) * 1000 / sendMs, refused, publisher.acknowledged.load(), stored,
                stored < 0 ? -1 : total - stored, latencies.size(), lastMs,
                percentile(latencies, 0.5), percentile(latencies, 0.99),
                latencies.empty() ? -1.0 : *std::max_element(latencies.begin(), latencies.end()),
                udpReceiveErrors() - errorsBefore, bridgePercent, hwmKib);
    return stored == total ? 0 : 1;
}

// ---- retained ------------------------------------------------------------------------------

struct RetainedState
{
    std::mutex mutex;
    std::vector<char> expected;
    long missing = 0;
};

void retainedSeen(void *context, const std::string &topic, const std::string &payload)
{
    auto *state = static_cast<RetainedState *>(context);
    const long key = keyIndex(topic, setKey);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (key < 0 || key >= long(state->expected.size()) || !state->expected[size_t(key)]
        || payload != std::to_string(key))
        return;
    state->expected[size_t(key)] = 0;
    --state->missing;
}

// After a broker restart: how long until every set/ key the server holds now shows its value
// on a new subscription to PREFIX/data/ (retained or published since).
int retained(const Options &options)
{
    const double withinMs = number(options, "within", 2000);
    const int port = int(number(options, "broker-port", 1883));
    const long keys = long(number(options, "keys", 1000000));
    const auto start = Clock::now();
    RetainedState state;
    std::string body;
    if (!httpGet("/Data", body, 30000))
        fail("no /Data");
    const long held = countStored(body, setKey, keys, &state.expected);
    state.missing = held;
    MqttClient subscriber("bench-retained-watch", port, &retainedSeen, &state);
    subscriber.subscribe(prefix + "/data/" + setKey + "#");
    const auto missingNow = [&] {
        std::lock_guard<std::mutex> lock(state.mutex);
        return state.missing;
    };
    while (missingNow() > 0 && msSince(start) < withinMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const long missing = missingNow();
    std::printf("held=%ld missing=%ld equal_after_ms=%.0f\n", held, missing,
                missing == 0 ? msSince(start) : -1.0);
    return missing == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        fail("usage: ortv-bridge-bench changes|sets|retained [--option value ...]");
    const std::string command = argv[1];
    const Options options = parseOptions(argc, argv);
    if (command != "changes" && command != "sets" && command != "retained")
        fail("unknown command " + command);
    mosquitto_lib_init();
    const int status = command == "changes" ? changes(options)
        : command == "sets"                 ? sets(options)
                                            : retained(options);
    mosquitto_lib_cleanup();
    return status;
}
