// Small helpers the benchmark programs share: the test server's settings
// from the environment scripts/testdb writes, the peak memory, and giving
// up loudly.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <string>
#include <vector>

namespace tidewell::bench {

// A variable of scripts/testdb's env.sh; exits when the script did not run.
inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) {
    std::fprintf(stderr, "%s is not set: run the benchmark's script, or source the env.sh of scripts/testdb\n", name);
    std::exit(2);
  }
  return v;
}

// The test server of scripts/testdb, through its MariaDB driver.
struct TServer {
  std::string User = Env("TIDEWELL_TEST_MARIADB_USER");
  std::string Password = Env("TIDEWELL_TEST_MARIADB_PASSWORD");
  std::string Database = Env("TIDEWELL_TEST_MARIADB_DATABASE");
  std::string Port = Env("TIDEWELL_TEST_MARIADB_PORT");
  std::string Extra = "SERVER=127.0.0.1;PORT=" + Port + ";CONN_TIMEOUT=5";
  int PortNumber() const { return std::atoi(Port.c_str()); }
  std::string ConnectString() const {
    return "DRIVER={MySQL ODBC 3.51 Driver};" + Extra + ";DATABASE=" + Database + ";UID=" + User + ";PWD=" + Password;
  }
};

// The largest the process has been in memory so far, in KiB.
inline long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// A loopback address and port (0: any free port).
inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline void Must(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "failed: %s\n", what);
  std::exit(1);
}

// The arguments of the engine benchmarks: DIR [RECORDS]; exits on others.
struct TDirAndRecords {
  std::string Dir;
  long Records = 100000;
};
inline TDirAndRecords DirAndRecords(int argc, char** argv) {
  TDirAndRecords args;
  char* end = nullptr;
  if (argc >= 2) args.Dir = argv[1];
  if (argc >= 3) args.Records = std::strtol(argv[2], &end, 10);
  if (argc < 2 || argc > 3 || (argc == 3 && (*end != '\0' || args.Records <= 0))) {
    std::fprintf(stderr, "usage: %s DIR [RECORDS]\n", argv[0]);
    std::exit(2);
  }
  return args;
}

// Row i of the append benchmarks: the texts the conversion would assign to
// MACHINE, DAT_E, TIM_E, REC_NUM, WEIGHT, TARE, OPERATOR, PRODUCT, OK, LOT,
// PIECES and NOTE (a memo), in that order.
inline std::vector<std::string> AppendRow(long i) {
  char buf[64];
  std::vector<std::string> row;
  row.push_back(std::to_string(i % 50));
  std::snprintf(buf, sizeof buf, "2004%02ld%02ld", 1 + i % 12, 1 + i % 28);
  row.push_back(buf);
  std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld", i / 3600 % 24, i / 60 % 60, i % 60);
  row.push_back(buf);
  row.push_back(std::to_string(i + 1));
  std::snprintf(buf, sizeof buf, "%ld.%03ld", i % 5000, i % 1000);
  row.push_back(buf);
  std::snprintf(buf, sizeof buf, "%ld.%03ld", i % 50, (i * 7) % 1000);
  row.push_back(buf);
  row.push_back("operator " + std::to_string(i % 17));
  row.push_back("product number " + std::to_string(i % 331));
  row.push_back(i % 3 ? "T" : "F");
  row.push_back("LOT" + std::to_string(i % 9973));
  row.push_back(std::to_string(i % 1000));
  row.push_back("weighing " + std::to_string(i + 1) + " of machine " + std::to_string(i % 50) +
                ", checked and accepted by the line supervisor");
  return row;
}

}  // namespace tidewell::bench
