// What both load clients read from the system: loopback addresses, a process's CPU time, the
// kernel's UDP receive errors, percentiles of their samples, and one HTTP GET. Plain C++, no Qt.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

inline sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// utime + stime of a process in seconds, from /proc/PID/stat; negative when unreadable.
inline double cpuSeconds(long pid)
{
    if (pid <= 0)
        return -1;
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line))
        return -1;
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The UDP receive errors of this network namespace (buffer full and other input errors).
inline long long udpReceiveErrors()
{
    std::ifstream file("/proc/net/snmp");
    std::string names, values;
    while (std::getline(file, names)) {
        if (names.rfind("Udp:", 0) == 0 && std::getline(file, values))
            break;
    }
    std::istringstream n(names), v(values);
    std::string name, value;
    long long errors = 0;
    while (n >> name && v >> value) {
        if (name == "InErrors")
            errors += std::atoll(value.c_str());
    }
    return errors;
}

// The p-quantile (0..1) of the samples, nearest rank; -1 without samples.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// One GET on a fresh connection to the loopback port; false on any failure or an answer that is
// not 200 with a Content-Length.
inline bool httpGet(int port, const std::string &path, std::string &body, int timeoutMs)
{
    body.clear();
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in server = loopback(port);
    if (fd < 0)
        return false;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) == 0
        && ::send(fd, request.data(), request.size(), 0) == ssize_t(request.size());
    std::string data;
    size_t headEnd = std::string::npos, wanted = 0;
    char chunk[65536];
    while (ok) {
        pollfd p{fd, POLLIN, 0};
        const ssize_t n = poll(&p, 1, timeoutMs) > 0 ? recv(fd, chunk, sizeof chunk, 0) : -1;
        if (n <= 0) {
            ok = false;
            break;
        }
        data.append(chunk, size_t(n));
        if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            std::string head = data.substr(0, headEnd);
            std::transform(head.begin(), head.end(), head.begin(), ::tolower);
            const size_t length = head.find("content-length:");
            ok = length != std::string::npos && head.compare(0, 12, "http/1.1 200") == 0;
            wanted = ok ? std::strtoul(head.c_str() + length + 15, nullptr, 10) : 0;
        }
        if (headEnd != std::string::npos && data.size() - headEnd - 4 >= wanted)
            break;
    }
    close(fd);
    if (ok)
        body = data.substr(headEnd + 4);
    return ok;
}

} // namespace bench
