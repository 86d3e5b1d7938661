// The fleet's figures, on stores whose agents scripts/bench has started
// against a three-member cluster:
//   fleet_bench cross STORE_A STORE_B       a KXsetglobal on A seen by a get on
//   B fleet_bench fanout ENDPOINT FLEET STORE...  one put seen by every store
//   fleet_bench load ENDPOINT FLEET STORE   cached gets, idle and while the
//                                           agent applies 1,000 changes/s
// Each store is read by a process of its own (the library serves one store
// per process), forked before the library is first used; it reports the
// moment it saw a value through a pipe. Puts go to etcd's JSON gateway.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kxenv/kxenv.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             Clock::now().time_since_epoch())
      .count();
}

// Not released: a record handed back to the library leaves its cache.
std::string Get(const char* name) {
  char* value = KXgetglobal(name);
  return value ? value : "";
}

// A reader of one store: for each round r, waits until `name` reads "r"
// and writes the moment to `out`.
pid_t Reader(const std::string& store, const char* name, int rounds, int out,
             int poll_us) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  setenv("KX_REGISTRY", store.c_str(), 1);
  for (int r = 0; r < rounds; ++r) {
    std::string want = std::to_string(r);
    int64_t limit = Now() + 30'000'000'000;
    while (Get(name) != want && Now() < limit) usleep(poll_us);
    int64_t seen = Now() < limit ? Now() : -1;
    if (write(out, &seen, sizeof seen) != sizeof seen) _exit(1);
  }
  _exit(0);
}

std::string Base64(const std::string& in) {
  static const char k[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out += k[n >> 18 & 63];
    out += k[n >> 12 & 63];
    out += i + 1 < in.size() ? k[n >> 6 & 63] : '=';
    out += i + 2 < in.size() ? k[n & 63] : '=';
  }
  return out;
}

// A kept-alive HTTP connection to etcd's gateway (POST /v3/kv/put).
struct Gateway {
  int fd = -1;
  std::string host;
  explicit Gateway(const std::string& endpoint) {
    std::string address = endpoint.substr(endpoint.find("//") + 2);
    size_t colon = address.find(':');
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(std::atoi(address.c_str() + colon + 1));
    inet_pton(AF_INET, address.substr(0, colon).c_str(), &where.sin_addr);
    fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    host = address;
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
      std::perror("fleet_bench: connect");
      std::exit(1);
    }
  }
  ~Gateway() { close(fd); }
  void Put(const std::string& key, const std::string& value) {
    std::string body =
        "{\"key\":\"" + Base64(key) + "\",\"value\":\"" + Base64(value) + "\"}";
    std::string request = "POST /v3/kv/put HTTP/1.1\r\nHost: " + host +
                          "\r\nContent-Type: application/json\r\n"
                          "Content-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
    if (write(fd, request.data(), request.size()) < 0) std::exit(1);
    std::string reply;
    char chunk[4096];
    for (;;) {
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) std::exit(1);
      reply.append(chunk, n);
      size_t end = reply.find("\r\n\r\n");
      size_t length = reply.find("Content-Length: ");
      if (end != std::string::npos && length != std::string::npos &&
          reply.size() >= end + 4 + std::atoi(reply.c_str() + length + 16)) {
        return;
      }
    }
  }
};

void Report(const char* what, std::vector<double> ms, const char* target) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-44s median %7.2f ms  worst %7.2f ms  (%zu)  %s\n", what,
              ms[ms.size() / 2], ms.back(), ms.size(), target);
}

int Cross(const std::string& a, const std::string& b) {
  const int rounds = 50;
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return 1;
  pid_t reader = Reader(b, "KXB_CROSS", rounds, pipe_fds[1], 100);
  setenv("KX_REGISTRY", a.c_str(), 1);
  std::vector<double> ms;
  for (int r = 0; r < rounds; ++r) {
    int64_t set = Now();
    KXsetglobal("KXB_CROSS", std::to_string(r).c_str());
    int64_t seen = 0;
    if (read(pipe_fds[0], &seen, sizeof seen) != sizeof seen || seen < 0) {
      std::printf("set on A: not seen on B within 30 s\n");
      return 1;
    }
    ms.push_back((seen - set) / 1e6);
    usleep(20000);
  }
  waitpid(reader, nullptr, 0);
  Report("set on A, seen by a get on B", ms, "target median <= 10 ms");
  return 0;
}

int Fanout(const std::string& endpoint, const std::string& fleet,
           const std::vector<std::string>& stores) {
  const int rounds = 5;
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return 1;
  std::vector<pid_t> readers;
  for (const std::string& store : stores) {
    readers.push_back(Reader(store, "KXB_FANOUT", rounds, pipe_fds[1], 5000));
  }
  Gateway gateway(endpoint);
  std::vector<double> each, last;
  for (int r = 0; r < rounds; ++r) {
    int64_t put = Now();
    gateway.Put("/kx-orrery/" + fleet + "/global/KXB_FANOUT",
                std::to_string(r));
    double worst = 0;
    for (size_t i = 0; i < stores.size(); ++i) {
      int64_t seen = 0;
      if (read(pipe_fds[0], &seen, sizeof seen) != sizeof seen || seen < 0) {
        std::printf("one put: a machine did not see it within 30 s\n");
        return 1;
      }
      each.push_back((seen - put) / 1e6);
      worst = std::max(worst, each.back());
    }
    last.push_back(worst);
    usleep(200000);
  }
  for (pid_t reader : readers) waitpid(reader, nullptr, 0);
  std::string what =
      "one put, seen on each of " + std::to_string(stores.size());
  Report(what.c_str(), each, "");
  Report("one put, seen on all (per put)", last, "");
  return 0;
}

int64_t CpuNow() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Nanoseconds per cached get, wall clock and this thread's CPU time,
// medians of 20 batches of 20,000. On this box the three members and the
// load run beside the reader, so the wall clock also counts the time the
// reader waits for a core; its CPU time is what the gets cost it.
struct Cost {
  double wall, cpu;
};
Cost CachedGet() {
  std::vector<double> wall, cpu;
  for (int b = 0; b < 20; ++b) {
    int64_t start = Now(), cpu_start = CpuNow();
    for (int i = 0; i < 20000; ++i) KXgetglobal("KXB_STILL");
    wall.push_back((Now() - start) / 20000.0);
    cpu.push_back((CpuNow() - cpu_start) / 20000.0);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

int Load(const std::string& endpoint, const std::string& fleet,
         const std::string& store) {
  setenv("KX_REGISTRY", store.c_str(), 1);
  KXsetglobal("KXB_STILL", "1");
  Cost idle = CachedGet();
  std::atomic<bool> stop{false};
  std::atomic<int> puts{0};
  // Four connections at 250 puts a second each: one put takes about as
  // long as the interval on three members.
  std::vector<std::thread> load;
  for (int t = 0; t < 4; ++t) {
    load.emplace_back([&, t] {
      Gateway gateway(endpoint);
      auto next = Clock::now();
      for (int i = 0; !stop; ++i) {
        gateway.Put("/kx-orrery/" + fleet + "/global/KXB_LOAD" +
                        std::to_string(t * 25 + i % 25),
                    std::to_string(i));
        ++puts;
        next += std::chrono::milliseconds(4);
        std::this_thread::sleep_until(next);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  auto start = Clock::now();
  int before = puts;
  Cost busy = CachedGet();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  for (std::thread& thread : load) thread.join();
  double rate = (puts - before) / seconds;
  std::printf("%-44s idle %7.0f ns  busy %7.0f ns  %5.2f x  (%.0f puts/s)\n",
              "cached get, wall clock", idle.wall, busy.wall,
              busy.wall / idle.wall, rate);
  std::printf("%-44s idle %7.0f ns  busy %7.0f ns  %5.2f x  target <= 2x\n",
              "cached get, the reader's CPU time", idle.cpu, busy.cpu,
              busy.cpu / idle.cpu);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "cross") return Cross(args[1], args[2]);
  if (args.size() >= 4 && args[0] == "fanout") {
    return Fanout(args[1], args[2], {args.begin() + 3, args.end()});
  }
  if (args.size() == 4 && args[0] == "load")
    return Load(args[1], args[2], args[3]);
  std::fprintf(stderr, "usage: fleet_bench cross|fanout|load ...\n");
  return 2;
}
