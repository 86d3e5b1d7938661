// The agent against a real etcd: a cluster of three members on loopback
// ports, each a process started and killed by pid, and machines that are
// each a store of their own with its agent; and a member with TLS, client
// certificates and users, whose certificates the tests make with openssl.
// Skipped where etcd is missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "kxenv/kxenv.h"
#include "testing.h"

namespace {

using namespace std::chrono_literals;

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// Starts a program with its output to `log`, in the environment given.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log,
            const std::string& registry = "",
            const std::string& password = "") {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    if (!registry.empty()) setenv("KX_REGISTRY", registry.c_str(), 1);
    if (!password.empty()) setenv("KXENV_SYNC_PASSWORD", password.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& arg : args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void Stop(pid_t& pid, int signal = SIGKILL) {
  if (pid <= 0) return;
  kill(pid, signal);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

// A command's output; with `errors`, its standard error too.
std::string Sh(const std::string& command, int* status = nullptr,
               bool errors = false) {
  kxtest::Ran ran = kxtest::RunProgram({"sh", "-c", command});
  if (status) *status = ran.status;
  std::string output = ran.out + (errors ? ran.err : "");
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

bool Eventually(const std::function<bool()>& done,
                std::chrono::seconds limit = 20s) {
  return kxtest::WaitUntil(done, limit, 50ms);
}

// A CA and, signed by it, the server's certificate for 127.0.0.1, a
// client's, one that expired, and the users' password files.
struct Pki {
  std::string dir = kxtest::MakeTempDir("pki");
  Pki() {
    auto make = [&](const std::string& name, int days, const char* use) {
      Sh("cd " + dir + " && openssl req -newkey ec -pkeyopt " +
         "ec_paramgen_curve:P-256 -nodes -keyout " + name + ".key -out " +
         name + ".csr -subj /CN=" + name + " && echo " + use + " >" + name +
         ".ext && openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey " +
         "ca.key -CAcreateserial -out " + name + ".pem -days " +
         std::to_string(days) + " -extfile " + name + ".ext");
    };
    Sh("cd " + dir + " && openssl req -x509 -newkey ec -pkeyopt " +
       "ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 2 " +
       "-subj /CN=kxca");
    make("server", 2, "subjectAltName=IP:127.0.0.1");
    make("client", 2, "extendedKeyUsage=clientAuth");
    make("old", 0, "extendedKeyUsage=clientAuth");  // expired at once
    for (const char* user : {"kx", "ro"}) {
      Sh("cd " + dir + " && echo " + user + "pw >" + user +
         ".pw && chmod 600 " + user + ".pw");
    }
    Sh("cd " + dir + " && echo kxpw >open.pw && chmod 644 open.pw");
  }
  std::string operator()(const std::string& file) const {
    return dir + "/" + file;
  }
};

// Three plain members, or one member with TLS, client certificates and
// users: kx, whose role covers the fleet's prefix, and ro, who may only
// read it; their tokens live 3 s.
struct Cluster {
  std::string dir = kxtest::MakeTempDir("etcd");
  const Pki* pki;
  int members;
  int client[3], peer[3];
  pid_t pid[3] = {-1, -1, -1};
  std::string root;  // etcdctl's user, once authentication is on
  explicit Cluster(const Pki* tls = nullptr) : pki(tls), members(tls ? 1 : 3) {
    for (int i = 0; i < 3; ++i) client[i] = FreePort(), peer[i] = FreePort();
    for (int i = 0; i < members; ++i) Start(i);
  }
  ~Cluster() {
    for (pid_t& member : pid) Stop(member);
  }
  std::string Url(int i, const int* ports) const {
    return (pki && ports == client ? "https" : "http") +
           std::string("://127.0.0.1:") + std::to_string(ports[i]);
  }
  std::string Endpoints() const {
    std::string all;
    for (int i = 0; i < members; ++i) all += (i ? "," : "") + Url(i, client);
    return all;
  }
  std::string Tls() const {
    return pki ? " --cacert " + (*pki)("ca.pem") + " --cert " +
                     (*pki)("client.pem") + " --key " + (*pki)("client.key")
               : "";
  }
  void Start(int i) {
    std::string name = "m" + std::to_string(i), everyone;
    for (int j = 0; j < members; ++j) {
      everyone += (j ? ",m" : "m") + std::to_string(j) + "=" + Url(j, peer);
    }
    std::vector<std::string> args = {"etcd",
                                     "--name",
                                     name,
                                     "--data-dir",
                                     dir + "/" + name,
                                     "--listen-client-urls",
                                     Url(i, client),
                                     "--advertise-client-urls",
                                     Url(i, client),
                                     "--listen-peer-urls",
                                     Url(i, peer),
                                     "--initial-advertise-peer-urls",
                                     Url(i, peer),
                                     "--initial-cluster",
                                     everyone,
                                     "--heartbeat-interval",
                                     "50",
                                     "--election-timeout",
                                     "500"};
    if (pki) {
      args.insert(args.end(),
                  {"--cert-file", (*pki)("server.pem"), "--key-file",
                   (*pki)("server.key"), "--client-cert-auth",
                   "--trusted-ca-file", (*pki)("ca.pem"), "--auth-token",
                   "simple", "--auth-token-ttl", "3"});
    }
    pid[i] = Spawn(args, dir + "/" + name + ".log");
  }
  std::string Ctl(const std::string& args) const {
    return Sh("ETCDCTL_API=3 etcdctl --command-timeout=3s --endpoints " +
              Endpoints() + Tls() + root + " " + args);
  }
  void EnableAuthentication() {
    for (const char* command :
         {"role add root", "user add root:rootpw", "user grant-role root root",
          "role add kx",
          "role grant-permission kx --prefix=true readwrite /kx-orrery/f/",
          "user add kx:kxpw", "user grant-role kx kx", "role add ro",
          "role grant-permission ro --prefix=true read /kx-orrery/f/",
          "user add ro:ropw", "user grant-role ro ro", "auth enable"}) {
      Ctl(command);
    }
    root = " --user root:rootpw";
  }
  // The arguments of an agent of this cluster, as `user`.
  std::vector<std::string> Agent(const std::string& user) const {
    std::vector<std::string> args = {"--endpoints", Endpoints(), "--fleet",
                                     "f"};
    if (!pki) return args;
    args.insert(args.end(),
                {"--cacert", (*pki)("ca.pem"), "--cert", (*pki)("client.pem"),
                 "--key", (*pki)("client.key"), "--user", user});
    if (user == "kx")
      args.insert(args.end(), {"--password-file", (*pki)("kx.pw")});
    return args;
  }
  // The fleet's Global value of a variable, and the values that lost.
  std::string Global(const std::string& name) const {
    return Ctl("get --print-value-only /kx-orrery/f/global/" + name);
  }
  std::string Conflicts() const {
    return Ctl("get --print-value-only --prefix /kx-orrery/f/conflicts/");
  }
  int Leader() const {
    auto status =
        nlohmann::json::parse(Ctl("endpoint status -w json"), nullptr, false);
    if (!status.is_array()) return -1;
    for (const auto& member : status) {
      if (member["Status"]["header"]["member_id"] ==
          member["Status"]["leader"]) {
        for (int i = 0; i < 3; ++i) {
          if (member["Endpoint"] == Url(i, client)) return i;
        }
      }
    }
    return -1;
  }
};

struct Machine {
  std::string store = kxtest::MakeTempDir("machine");
  pid_t agent = -1;
  ~Machine() { Stop(agent); }
  std::string Tool(const std::string& args, int* status = nullptr) const {
    return Sh("KX_REGISTRY=" + store + " " KX_TOOL " " + args, status);
  }
  std::string Get(const std::string& name) const {
    return Tool("get --global " + name);
  }
  void Set(const std::string& name, const std::string& value) const {
    Tool("set --global " + name + " " + value);
  }
  bool Sees(const std::string& name, const std::string& value,
            std::chrono::seconds limit = 20s) const {
    return Eventually([&] { return Get(name) == value; }, limit);
  }
  std::string Name() const {
    return "m" + std::to_string(getpid()) + store.back();
  }
  // Starts the agent; any user but kx gets its password from the
  // environment.
  void Start(const Cluster& cluster, const std::string& user = "kx") {
    std::vector<std::string> args = {KX_TOOL, "sync", "--machine", Name()};
    for (const std::string& arg : cluster.Agent(user)) args.push_back(arg);
    agent = Spawn(args, store + "/agent.log", store,
                  user == "kx" ? "" : user + "pw");
  }
  std::string Log() const { return kxtest::ReadFile(store + "/agent.log"); }
};

class Fleet : public testing::Test {
 protected:
  void SetUp() override {
    if (Sh("command -v etcd").empty()) GTEST_SKIP() << "etcd is not installed";
    ASSERT_TRUE(Eventually([&] { return cluster.Leader() >= 0; }))
        << "no leader";
    ASSERT_EQ(
        a.Tool("sync --create --fleet f --endpoints " + cluster.Endpoints()),
        "");
    a.Start(cluster);
    b.Start(cluster);
  }
  Cluster cluster;
  Machine a, b;
};

TEST_F(Fleet, EveryAgentConvergesAfterTheLeaderIsKilledDuringPuts) {
  std::thread puts([&] {
    for (int i = 0; i < 40; ++i) {
      cluster.Ctl("put /kx-orrery/f/global/KXT_" + std::to_string(i % 8) + " " +
                  std::to_string(i));
    }
  });
  std::this_thread::sleep_for(300ms);
  int leader = cluster.Leader();
  ASSERT_GE(leader, 0);
  Stop(cluster.pid[leader]);
  puts.join();
  for (int k = 0; k < 8; ++k) {
    std::string name = "KXT_" + std::to_string(k);
    std::string value = cluster.Global(name);
    for (const Machine* m : {&a, &b}) {
      EXPECT_TRUE(m->Sees(name, value))
          << name << ": etcd " << value << ", machine " << m->Get(name);
    }
  }
}

TEST_F(Fleet, WithoutQuorumGetsAnswerAndSetsWaitForIt) {
  b.Set("KXT_Q", "before");
  ASSERT_TRUE(a.Sees("KXT_Q", "before"));
  int leader = cluster.Leader();
  Stop(cluster.pid[leader]);
  Stop(cluster.pid[(leader + 1) % 3]);
  // The get never waits for etcd: it answers well within the agent's call
  // timeout (4 s), even from a sanitized tool on a loaded machine.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(a.Get("KXT_Q"), "before");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  int status = -1;
  a.Tool("set --global KXT_Q during", &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Eventually([&] {
    return a.Tool("sync --status --fleet f").find("pending    1") !=
           std::string::npos;
  }));
  std::this_thread::sleep_for(4s);  // past the agent's call timeout
  cluster.Start(leader);
  cluster.Start((leader + 1) % 3);
  EXPECT_TRUE(b.Sees("KXT_Q", "during", 40s)) << a.Log();
}

TEST_F(Fleet, AnAgentBehindACompactionReadsEverythingAgain) {
  a.Set("KXT_GONE", "old");
  a.Set("KXT_BOTH", "old");
  ASSERT_TRUE(b.Sees("KXT_BOTH", "old"));
  b.Tool("set KXT_GONE local");  // a Local value survives the resync
  Stop(b.agent, SIGTERM);
  b.Set("KXT_BOTH", "mine");  // loses to etcd's change
  cluster.Ctl("del /kx-orrery/f/global/KXT_GONE");
  cluster.Ctl("put /kx-orrery/f/global/KXT_BOTH theirs");
  std::string revision =
      cluster.Ctl("put /kx-orrery/f/global/KXT_NEW 1 -w json");
  revision = std::to_string(
      nlohmann::json::parse(revision)["header"]["revision"].get<long>());
  cluster.Ctl("compact " + revision);
  b.Start(cluster);
  EXPECT_TRUE(b.Sees("KXT_NEW", "1"));
  EXPECT_TRUE(kxtest::Has(b.Log(), "reading the whole fleet again"));
  EXPECT_EQ(b.Get("KXT_BOTH"), "theirs");
  EXPECT_EQ(b.Get("KXT_GONE"), "");
  EXPECT_EQ(b.Tool("get --local KXT_GONE"), "local");
  EXPECT_EQ(cluster.Conflicts(), "mine");
}

TEST_F(Fleet, ALocalSetThatMeetsANewerEtcdValueLoses) {
  a.Set("KXT_RACE", "zero");
  ASSERT_TRUE(b.Sees("KXT_RACE", "zero"));
  kill(b.agent, SIGSTOP);  // b's agent hears both changes only afterwards
  b.Set("KXT_RACE", "from-b");
  a.Set("KXT_RACE", "from-a");
  ASSERT_TRUE(
      Eventually([&] { return cluster.Global("KXT_RACE") == "from-a"; }));
  kill(b.agent, SIGCONT);
  EXPECT_TRUE(b.Sees("KXT_RACE", "from-a")) << b.Log();
  EXPECT_EQ(cluster.Conflicts(), "from-b");
  EXPECT_EQ(a.Get("KXT_RACE"), "from-a");
}

// Reads a Global value, keeps it cached, and reads it once more when the
// file named by its second argument appears.
KX_ROLE(cached_reader) {
  setenv("KX_REGISTRY", args[0].c_str(), 1);
  for (int i = 0; i < 2; ++i) KXfreemem(KXgetglobal("KXT_READ"));
  kxtest::Say("cached");
  while (access(args[1].c_str(), F_OK) != 0) usleep(5000);
  char* value = KXgetglobal("KXT_READ");
  kxtest::Say(value ? value : "(none)");
  KXfreemem(value);
  return 0;
}

TEST_F(Fleet, AReaderWithTheValueCachedSeesTheRemoteChange) {
  a.Set("KXT_READ", "one");
  ASSERT_TRUE(b.Sees("KXT_READ", "one"));
  std::string go = b.store + "/go";
  kxtest::Child reader("cached_reader", {b.store, go});
  ASSERT_EQ(reader.ReadLine(), "cached");
  a.Set("KXT_READ", "two");
  ASSERT_TRUE(b.Sees("KXT_READ", "two"));
  std::ofstream{go};
  EXPECT_EQ(reader.ReadLine(), "two");
  // b's journal has the change as the fleet's, at etcd's revision of it,
  // from a.
  auto item = nlohmann::json::parse(
      cluster.Ctl("get /kx-orrery/f/global/KXT_READ -w json"));
  auto entry =
      nlohmann::json::parse(b.Tool("history KXT_READ --json --limit 1"));
  EXPECT_EQ(entry["source"], "fleet");
  EXPECT_EQ(entry["fleet"], "f");
  EXPECT_EQ(entry["revision"], item["kvs"][0]["mod_revision"]);
  EXPECT_EQ(entry["origin"], a.Name());
}

TEST_F(Fleet, ANonAsciiNameReachesTheOtherMachineUnderItsOwnKey) {
  a.Set("KXH_ÜBER", "über");
  EXPECT_TRUE(b.Sees("KXH_ÜBER", "über")) << a.Log() << b.Log();
  EXPECT_EQ(cluster.Global("KXH_ÜBER"), "über");
}

// The agent's CPU time so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::string stat = kxtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stol(field);  // utime, stime
  }
  return static_cast<double>(ticks) / sysconf(_SC_CLK_TCK);
}

class SecureFleet : public testing::Test {
 protected:
  void SetUp() override {
    if (Sh("command -v etcd").empty() || Sh("command -v openssl").empty()) {
      GTEST_SKIP() << "etcd or openssl is not installed";
    }
    ASSERT_TRUE(Eventually([&] { return cluster.Leader() >= 0; }));
    cluster.EnableAuthentication();
    std::string args;
    for (const std::string& arg : cluster.Agent("kx")) args += " " + arg;
    int status = -1;
    a.Tool("sync --create" + args, &status);
    ASSERT_EQ(status, 0);
    a.Start(cluster);
    b.Start(cluster);
  }
  // The fleet's item as etcdctl prints it (-w json: its versions too).
  std::string Item(const std::string& key, const std::string& how = "") {
    return cluster.Ctl("get " + how + " /kx-orrery/f/" + key);
  }
  Pki pki;
  Cluster cluster{&pki};
  Machine a, b;
};

TEST_F(SecureFleet, ValuesTravelScrambledTokensRenewAndTheLedgerTellsIt) {
  cluster.Ctl(R"(put /kx-orrery/f/def/ENV/KXS_SECRET '{"Sensitive":1}')");
  ASSERT_TRUE(Eventually([&] {
    return kxtest::Has(a.Tool("show KXS_SECRET"), "sensitive       yes");
  }));
  a.Set("KXS_SECRET", "topsecretvalue");
  EXPECT_TRUE(b.Sees("KXS_SECRET", "topsecretvalue")) << a.Log() << b.Log();
  EXPECT_EQ(Sh("grep -rl topsecretvalue " + cluster.dir), "");
  std::this_thread::sleep_for(4s);  // past the tokens' 3 s
  a.Set("KXH_AFTER", "renewed");
  EXPECT_TRUE(b.Sees("KXH_AFTER", "renewed")) << a.Log() << b.Log();
  EXPECT_FALSE(kxtest::Has(
      kxtest::ReadFile("/proc/" + std::to_string(a.agent) + "/cmdline"),
      "kxpw"));
  auto item = nlohmann::json::parse(Item("global/KXH_AFTER", "-w json"));
  std::string revision =
      std::to_string(item["kvs"][0]["mod_revision"].get<long>());
  std::string args;
  for (const std::string& arg : cluster.Agent("kx")) args += " " + arg;
  nlohmann::json fleet;
  EXPECT_TRUE(Eventually([&] {
    fleet = nlohmann::json::parse(
        a.Tool("sync --fleet-status --json --revision " + revision + args),
        nullptr, false);
    return fleet.is_object() && fleet["machines"].size() == 2 &&
           fleet["machines"][0]["agrees"] == true &&
           fleet["machines"][1]["agrees"] == true &&
           !fleet["reached"]["p100"].is_null();
  })) << fleet.dump(2);
}

TEST_F(SecureFleet, HostileItemsAreRefusedAloneAndAFreshMachineJoinsPastThem) {
  cluster.Ctl(R"(put /kx-orrery/f/def/ENV/KXS_SECRET '{"Sensitive":1}')");
  cluster.Ctl(
      R"(put /kx-orrery/f/def/ENV/KXH_PORT '{"ChoiceType":"RANGE","Choices":["1","65535"]}')");
  ASSERT_TRUE(Eventually(
      [&] { return kxtest::Has(b.Tool("show KXH_PORT"), "RANGE"); }));
  std::string long_name(300, 'A'), txn = cluster.dir + "/txn",
                                   nul = cluster.dir + "/nul";
  // One transaction: a bad definition and a good value at one revision.
  std::ofstream(txn) << "\nput /kx-orrery/f/def/ENV/KXA_PORT {bad\n"
                        "put /kx-orrery/f/global/KXH_GOOD good\n\n\n";
  kxtest::WriteFile(nul, std::string("a\0b", 3));
  const struct {
    const char* shown;  // as the log shows the key
    std::string command;
  } rows[] = {
      {"def/ENV/KXA_PORT", "txn <" + txn},
      {"global/A\\B", R"(put '/kx-orrery/f/global/A\B' x)"},
      {"global/ ", "put /kx-orrery/f/global/ x"},
      {"app/ ", "put /kx-orrery/f/app/ x"},
      {"global/A\\x0aB", "put \"$(printf '/kx-orrery/f/global/A\\nB')\" x"},
      {"global/KXH_NUL", "put /kx-orrery/f/global/KXH_NUL <" + nul},
      {"global/AAAA", "put /kx-orrery/f/global/" + long_name + " x"},
      {"global/kxh_low", "put /kx-orrery/f/global/kxh_low x"},
      {"sensitive/KXS_SECRET", "put /kx-orrery/f/sensitive/KXS_SECRET 0102"},
      {"sensitive/KXH_PLAIN", "put /kx-orrery/f/sensitive/KXH_PLAIN 41424300"},
      {"global/KXS_SECRET", "put /kx-orrery/f/global/KXS_SECRET clear"},
      {"global/KXH_PORT", "put /kx-orrery/f/global/KXH_PORT 70000"},
  };
  for (const auto& row : rows) cluster.Ctl(row.command);
  for (const Machine* m : {&a, &b}) {
    EXPECT_TRUE(m->Sees("KXH_GOOD", "good")) << m->Log();
    for (const auto& row : rows) {
      EXPECT_TRUE(Eventually([&] {
        return kxtest::Has(m->Log(), std::string("refused ") + row.shown);
      })) << row.shown
          << "\n"
          << m->Log();
    }
  }
  EXPECT_EQ(b.Get("A"), "");  // no phantom variable A of global/A\B
  EXPECT_FALSE(kxtest::Has(b.Tool("apps"), "ENV"));  // nor applications
  auto written = nlohmann::json::parse(Item("global/KXH_NUL", "-w json"));
  EXPECT_EQ(written["kvs"][0]["version"], 1);  // never written back
  a.Set("KXH_PORT", "99999");  // outside the definition: held back
  EXPECT_TRUE(Eventually([&] {
    return kxtest::Has(a.Tool("sync --status --fleet f"), "held back  1");
  }));
  EXPECT_EQ(Item("global/KXH_PORT", "--print-value-only"), "70000");
  Machine c;
  c.Start(cluster);
  EXPECT_TRUE(c.Sees("KXH_GOOD", "good")) << c.Log();
  EXPECT_TRUE(kxtest::Has(c.Tool("sync --status --fleet f"),
                          "refused    " + std::to_string(std::size(rows))))
      << c.Log();
  EXPECT_EQ(a.Log().find("refused global/KXH_NUL"),
            a.Log().rfind("refused global/KXH_NUL"));  // said once
}

TEST_F(SecureFleet, AReadOnlyUserWithAPendingSetNeitherLoopsNorMissesSets) {
  Machine r;
  r.Set("KXH_MINE", "pending");
  r.Start(cluster, "ro");
  ASSERT_TRUE(Eventually([&] {
    return kxtest::Has(r.Log(), "etcd refused to take global/KXH_MINE");
  })) << r.Log();
  double before = CpuSeconds(r.agent);
  std::this_thread::sleep_for(5s);
  double cpu = (CpuSeconds(r.agent) - before) / 5;
  std::cout << "read-only agent with a pending set: " << cpu * 100
            << " % of a core\n";
  EXPECT_LT(cpu, 0.01);
  a.Set("KXH_REMOTE", "arrives");
  EXPECT_TRUE(r.Sees("KXH_REMOTE", "arrives")) << r.Log();
  EXPECT_TRUE(
      kxtest::Has(r.Tool("sync --status --fleet f"), "permission denied"));
  EXPECT_EQ(r.Log().find("connected to"), r.Log().rfind("connected to"));
}

TEST_F(SecureFleet, AFailedConnectionSaysWhyInTheAgentsOwnWords) {
  std::string endpoint = cluster.Endpoints();
  const struct {
    std::string args;
    const char* reason;
  } rows[] = {
      {"--cacert " + pki("client.pem") + " --cert " + pki("client.pem") +
           " --key " + pki("client.key"),
       "certificate verify failed"},
      {"--cacert " + pki("ca.pem"), "give --cert and --key"},
      {"--cacert " + pki("ca.pem") + " --cert " + pki("client.pem") +
           " --key " + pki("client.key") + " --user kx --password-file " +
           pki("ro.pw"),
       "etcd refused"},
  };
  for (const auto& row : rows) {
    int status = -1;
    std::string said =
        Sh("KX_REGISTRY=" + a.store +
               " " KX_TOOL " sync --once --fleet f --endpoints " + endpoint +
               " " + row.args,
           &status, true);
    EXPECT_EQ(status, 1) << said;
    EXPECT_TRUE(kxtest::Has(said, row.reason)) << said;
    EXPECT_EQ(said.rfind("kxenv-sync: ", 0), 0u) << said;  // one line, ours
    EXPECT_EQ(said.find('\n'), std::string::npos) << said;
  }
}

TEST(SyncCommandLine, EachMistakeIsAUsageErrorThatSaysWhatToDo) {
  if (Sh("command -v openssl").empty()) GTEST_SKIP() << "no openssl";
  Pki pki;
  std::string tls =
      " --endpoints https://127.0.0.1:1 --cacert " + pki("ca.pem");
  const struct {
    std::string args;
    const char* says;
  } rows[] = {
      {tls + " --user kx:kxpw", "--password-file"},
      {tls + " --user kx --password-file " + pki("open.pw"), "chmod 600"},
      {tls + " --user kx", "needs a password"},
      {" --endpoints http://127.0.0.1:1 --cacert " + pki("ca.pem"), "https://"},
      {" --endpoints http://127.0.0.1:1 --user kx --password-file " +
           pki("kx.pw"),
       "--insecure-plaintext"},
      {tls + " --cert " + pki("client.pem"), "--cert needs --key"},
      {" --endpoints https://127.0.0.1:1 --cacert " + pki("none.pem"),
       "none.pem: No such file"},
      {tls + " --cert " + pki("client.pem") + " --key " + pki("server.key"),
       "is not the key"},
      {tls + " --cert " + pki("old.pem") + " --key " + pki("old.key"),
       "expired"},
  };
  for (const auto& row : rows) {
    int status = -1;
    std::string said =
        Sh(KX_TOOL " sync --once --fleet f" + row.args + " </dev/null", &status,
           true);
    EXPECT_EQ(status, 2) << row.args << ": " << said;
    EXPECT_TRUE(kxtest::Has(said, row.says)) << row.args << ": " << said;
  }
}

}  // namespace
