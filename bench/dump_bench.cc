// Dump and load throughput against their baselines, on file databases:
//   load:  loading N documents from a dump  /  inserting them with put_many
//          in one transaction (the cost of one batched write);
//   dump:  writing the dump  /  a raw sequential copy of the same bytes
//          (read and write in 1 MiB blocks, no sync on either side).
// Prints one line per measure with both times and the ratio the targets
// are stated in (load: at most 2.0; dump speed: at least 0.5).
//
// Run: build/tests/bench/dump_bench [documents=1000000]

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "dump/dump_loader.h"
#include "dump/dump_writer.h"
#include "index/open.h"
#include "write/write.h"

namespace {

using pallix::Value;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

Value Document(int i) {
  pallix::ValueMap m;
  m.Set("n", Value::Int(i));
  m.Set("name", Value::Text("user" + std::to_string(i)));
  m.Set("score", Value::Float(i * 0.5));
  m.Set("tags", Value::Array({Value::Text("a"), Value::Text("b")}));
  return Value::Map(std::move(m));
}

void RawCopy(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char> buf(1 << 20);
  for (ssize_t n; (n = read(in, buf.data(), buf.size())) > 0;)
    if (write(out, buf.data(), static_cast<size_t>(n)) != n) std::abort();
  close(in);
  close(out);
}

template <class R>
void Check(const R& r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().Message().c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 1000000;
  std::string dir = std::filesystem::temp_directory_path() / ("pallix-dump-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::vector<std::pair<std::string, Value>> docs;
  docs.reserve(n);
  for (int i = 0; i < n; ++i) docs.emplace_back("k" + std::to_string(i), Document(i));

  auto source = pallix::open_engine(dir + "/source.db");
  Check(source, "open");
  auto t = std::chrono::steady_clock::now();
  Check(pallix::put_many(**source, "c", docs), "put_many");
  double insert = Seconds(t);

  t = std::chrono::steady_clock::now();
  Check(pallix::dump_to_path(**source, dir + "/d.dump"), "dump");
  double dump = Seconds(t);
  t = std::chrono::steady_clock::now();
  RawCopy(dir + "/d.dump", dir + "/copy");
  double copy = Seconds(t);

  auto target = pallix::open_engine(dir + "/target.db");
  Check(target, "open");
  t = std::chrono::steady_clock::now();
  Check(pallix::load_dump_file(**target, dir + "/d.dump", {}), "load");
  double load = Seconds(t);

  double mib = static_cast<double>(std::filesystem::file_size(dir + "/d.dump")) / (1 << 20);
  std::printf("documents %d, dump %.1f MiB\n", n, mib);
  std::printf("load   %.2f s   put_many %.2f s   load/insert time ratio %.2f (target <= 2.0)\n", load, insert,
              load / insert);
  std::printf("dump   %.2f s   raw copy %.2f s   dump/copy speed ratio %.2f (target >= 0.5)\n", dump, copy,
              copy / dump);
  std::filesystem::remove_all(dir);
  return 0;
}
