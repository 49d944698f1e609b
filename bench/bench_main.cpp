// The benchmarks' own main: Google Benchmark's, except that the program fails (exit status 1)
// when a benchmark reported an error or lost work, so that a run nobody reads still says so.
// Every benchmark that moves sections, frames, blocks or control words sets a "lost" counter;
// "module_allocs" counts the library's allocations while work flows. Both must be 0.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Hands everything to the reporter the command line asked for and keeps the failures.
class FailureKeeper : public benchmark::BenchmarkReporter {
  public:
    explicit FailureKeeper(benchmark::BenchmarkReporter* shown) : shown_(shown) {}

    bool ReportContext(const Context& context) override { return shown_->ReportContext(context); }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failures_.push_back(run.benchmark_name() + ": " + run.error_message);
                continue;
            }
            // Aggregates of a repeated run are derived from the runs checked here.
            if (run.run_type != Run::RT_Iteration) continue;
            for (const char* name : {"lost", "module_allocs"}) {
                const auto counter = run.counters.find(name);
                if (counter != run.counters.end() && counter->second.value != 0) {
                    failures_.push_back(run.benchmark_name() + ": " + name + " = " +
                                        std::to_string(counter->second.value));
                }
            }
        }
        shown_->ReportRuns(runs);
    }

    void Finalize() override { shown_->Finalize(); }

    const std::vector<std::string>& failures() const { return failures_; }

  private:
    benchmark::BenchmarkReporter* shown_;
    std::vector<std::string> failures_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const std::unique_ptr<benchmark::BenchmarkReporter> shown(
        benchmark::CreateDefaultDisplayReporter());
    FailureKeeper keeper(shown.get());
    const std::size_t matched = benchmark::RunSpecifiedBenchmarks(&keeper);
    benchmark::Shutdown();
    for (const std::string& failure : keeper.failures())
        std::fprintf(stderr, "benchmark failed: %s\n", failure.c_str());
    if (matched == 0) return 1;
    return keeper.failures().empty() ? 0 : 1;
}
