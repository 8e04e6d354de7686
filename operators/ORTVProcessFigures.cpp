#include "ORTVProcessFigures.h"
#include "ORTVMetricNames.h"
#include "ORTVMetricsText.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArray readProcFile(const char *path)
{
    // Files under /proc report a size of 0: read until the end instead of by size.
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QByteArray();
    return file.readAll();
}

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int openDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1; // the descriptor of the listing itself
}

// Seconds since the epoch at which the process started: its start in clock ticks after boot
// (field 22 of /proc/self/stat, counted after the command name, which may hold spaces) plus
// the boot time.
double startTimeSeconds()
{
    const QByteArray stat = readProcFile("/proc/self/stat");
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const QByteArray system = readProcFile("/proc/stat");
    const qsizetype btime = system.indexOf("\nbtime ");
    if (fields.size() < 20 || btime < 0)
        return 0;
    const qint64 bootSeconds = system.mid(btime + 7, system.indexOf('\n', btime + 7) - btime - 7)
                                   .toLongLong();
    return double(bootSeconds) + fields.at(19).toDouble() / double(sysconf(_SC_CLK_TCK));
}

} // namespace

void ORTVProcessFigures::write(ORTVMetricsText &text)
{
    const QList<QByteArray> pages = readProcFile("/proc/self/statm").split(' ');
    const double pageBytes = double(sysconf(_SC_PAGESIZE));
    if (pages.size() >= 2) {
        text.gauge("process_virtual_memory_bytes", "Virtual memory size in bytes.",
                   pages.at(0).toDouble() * pageBytes);
        text.gauge(ORTVMetricNames::residentMemory, "Resident memory size in bytes.",
                   pages.at(1).toDouble() * pageBytes);
    }
    text.family("process_cpu_seconds_total", "counter",
                "Total user and system CPU time spent in seconds.");
    text.sample("process_cpu_seconds_total", nullptr, cpuSeconds());
    const int open = openDescriptors();
    if (open >= 0)
        text.gauge("process_open_fds", "Number of open file descriptors.", open);
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        text.gauge("process_max_fds", "Maximum number of open file descriptors.",
                   double(limit.rlim_cur));
    text.gauge("process_start_time_seconds",
               "Start time of the process since unix epoch in seconds.", startTimeSeconds());
}
