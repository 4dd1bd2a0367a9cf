// What a value probe costs the instrumented code before any flush: the items
// are formatted on the caller's stack and appended to its buffer.
#include <benchmark/benchmark.h>

#include "qelmq/TextSender.h"

namespace {

void BM_QelPrintIntItem(benchmark::State& state) {
  char buf[256];
  for (auto _ : state) {
    int pos = 0;
    QelPrint("count", buf, &pos, 16, 12345);
    benchmark::DoNotOptimize(pos);
  }
}
BENCHMARK(BM_QelPrintIntItem);

void BM_QelPrintDoubleItem(benchmark::State& state) {
  char buf[256];
  for (auto _ : state) {
    int pos = 0;
    QelPrint("ratio", buf, &pos, 22, 3.14159);
    benchmark::DoNotOptimize(pos);
  }
}
BENCHMARK(BM_QelPrintDoubleItem);

// A typical record: header and four parameters.
void BM_QelPrintRecordOfFiveItems(benchmark::State& state) {
  char buf[512];
  for (auto _ : state) {
    int pos = 0;
    QelPrint("compute", buf, &pos, 26);
    QelPrint("a", buf, &pos, 16, 5);
    QelPrint("s", buf, &pos, 0, "some text");
    QelPrint("c", buf, &pos, 13, 'x');
    QelPrint("d", buf, &pos, 22, 2.5);
    benchmark::DoNotOptimize(buf);
    benchmark::DoNotOptimize(pos);
  }
}
BENCHMARK(BM_QelPrintRecordOfFiveItems);

}  // namespace

BENCHMARK_MAIN();
