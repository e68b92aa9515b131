#pragma once
// CPU time of processes and their threads, read from /proc, for benchmarks that split a run's cost by
// thread or compare it with another program's.

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <map>
#include <string>

namespace quill::bench {

struct ThreadTime {
    std::string name;
    double cpuSeconds = 0;
};

// CPU seconds of every thread of a process (this one by default), by thread id.
inline std::map<int, ThreadTime> threadTimes(const std::string& process = "self") {
    std::map<int, ThreadTime> out;
    const std::string tasks = "/proc/" + process + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return out;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = tasks + "/" + e->d_name;
        ThreadTime t;
        std::ifstream(base + "/comm") >> t.name;
        unsigned long long ns = 0;
        std::ifstream(base + "/schedstat") >> ns;
        t.cpuSeconds = double(ns) / 1e9;
        out[std::stoi(e->d_name)] = t;
    }
    closedir(dir);
    return out;
}

// CPU seconds of the threads of a process that live now.
inline double processCpuSeconds(pid_t pid) {
    double total = 0;
    for (const auto& [tid, t] : threadTimes(std::to_string(pid)))
        total += t.cpuSeconds;
    return total;
}

// CPU seconds by thread name that threads used between two readings; threads in `skip` left out.
template <class Skip>
std::map<std::string, double> usedByName(const std::map<int, ThreadTime>& before,
                                         const std::map<int, ThreadTime>& after, Skip&& skip) {
    std::map<std::string, double> byName;
    for (const auto& [tid, t] : after) {
        if (skip(tid, t.name)) continue;
        auto it = before.find(tid);
        byName[t.name] += t.cpuSeconds - (it != before.end() ? it->second.cpuSeconds : 0.0);
    }
    return byName;
}

}  // namespace quill::bench
