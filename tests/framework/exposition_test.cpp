// Prometheus' name rules as the endpoint checks them, at their edges: what
// is refused never reaches a scrape.
#include <gtest/gtest.h>

#include "agw_metrics.h"

namespace {

TEST(MetricNames, SeriesAndLabelNamesFollowPrometheusRules) {
    for (const char* good : {"a", "_x", "A_Z9", "a:b", ":a"}) EXPECT_TRUE(agw::ValidMetricName(good)) << good;
    for (const char* bad : {"", "1a", "__x", "a-b", "a b", "\xc3\xa9"}) {
        EXPECT_FALSE(agw::ValidMetricName(bad)) << bad;
    }
    for (const char* good : {"a", "_x", "A_Z9"}) EXPECT_TRUE(agw::ValidLabelName(good)) << good;
    for (const char* bad : {"", "1a", "__x", "a:b", ":a", "a-b"}) EXPECT_FALSE(agw::ValidLabelName(bad)) << bad;
}

}  // namespace
