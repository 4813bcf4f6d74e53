#include "platform/calendar/Calendar.h"
#include "platform/calendar/DateFormatter.h"

#include <benchmark/benchmark.h>

namespace {

constexpr cal::Date kStart = 818000000.0; // December 2026

// One log line's date with the fixed pattern, a new second each call.
void BM_LogDate(benchmark::State& state) {
    char buffer[64];
    cal::Date date = kStart;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cal::formatLogDate(date, buffer, sizeof buffer));
        date += 1.0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogDate);
BENCHMARK(BM_LogDate)->Threads(2);

// A burst of log lines within one second: the text of that second is reused.
void BM_LogDateSameSecond(benchmark::State& state) {
    char buffer[64];
    cal::Date date = kStart;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cal::formatLogDate(date, buffer, sizeof buffer));
        date += 0.001;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogDateSameSecond);

// The user's locale, short date and short time, as activity log lines print dates.
void BM_ShortDateShortTime(benchmark::State& state) {
    cal::Date date = kStart;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cal::shortDateShortTimeText(date));
        date += 61.0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ShortDateShortTime);

// The next weekday-hour-minute date, as a calendar-mode activity asks for it.
void BM_NextDate(benchmark::State& state) {
    cal::DateComponents components;
    components.weekday = 1;
    components.hour = 9;
    components.minute = 30;
    cal::Date date = kStart;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cal::sharedCalendar().nextDate(date, components));
        date += 3607.0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextDate);

} // namespace

BENCHMARK_MAIN();
