// The agent's own health on the metrics endpoint, next to the tables' series
// and the framework's (tuxedo_agent_sample_duration_seconds,
// tuxedo_agent_sample_rows, tuxedo_agent_situation_raised):
//   tuxedo_agent_build_info{version,revision}  1
//   tuxedo_agent_joined                              1 while joined to the application, else 0
//   tuxedo_agent_joins_total{outcome}                attempts to join, outcome "ok" or "failed"
//   tuxedo_agent_mib_calls_total{table,outcome}      MIB calls, outcome "ok" or "failed"
// Every outcome series is there from the start, at 0.
#ifndef ZTA_METRICS_H
#define ZTA_METRICS_H

// Names the framework's series and sets the build information; called once
// at start-up, before the framework runs.
void zta_metrics_start();

// The membership changed.
void zta_metrics_joined(bool joined);

// An attempt to join the application ended.
void zta_metrics_join(bool ok);

// `calls` calls of ".TMIB" (default one) with the same outcome, for the table
// read through `view` ("txview12"), or for the table of `mib_class` when the
// table has no view. The cursor loop counts its calls and says so once per
// sample: a series lookup per object would cost a third of a bare walk.
void zta_metrics_mib_call(const char* mib_class, const char* view, bool ok, long calls = 1);

#endif  // ZTA_METRICS_H
