// The metrics roles of the twenty table descriptions: every series name the
// endpoint would serve is valid, belongs to one column (state columns share
// their series on purpose), carries its table's keys, and no two tables serve
// the same series for the same objects.
#include <gtest/gtest.h>

#include <prometheus/check_names.h>

#include <map>
#include <set>
#include <string>

#include "zta_binding.h"
#include "zta_tables.h"

namespace {

std::string series_of(const zta::TableMeta& t, const zta::ColumnMeta& c) {
    std::string name = std::string(zta::kMetricsPrefix) + t.metric_subject + "_" + c.metric;
    if (c.role == zta::Role::counter) name += "_total";
    if (c.role == zta::Role::time) name += "_timestamp_seconds";
    return name;
}

TEST(MetricsRoles, EverySeriesIsValidOwnedOnceAndLabelledByItsTablesKeys) {
    // series name -> (key labels, table) of every table that serves it
    std::map<std::string, std::map<std::set<std::string>, std::string>> owners;
    for (const zta::TableMeta& t : zta::kTables) {
        SCOPED_TRACE(t.upper);
        std::set<std::string> keys;
        std::map<std::string, std::string> columnOf;  // series -> the column that makes it
        std::set<std::string> series;
        for (unsigned short i = 0; i < t.num_columns; ++i) {
            const zta::ColumnMeta& c = t.columns[i];
            SCOPED_TRACE(c.name);
            switch (c.role) {
                case zta::Role::none:
                    continue;
                case zta::Role::key:
                    EXPECT_TRUE(prometheus::CheckLabelName(c.metric)) << c.metric;
                    EXPECT_TRUE(keys.insert(c.metric).second) << "two keys named " << c.metric;
                    continue;
                case zta::Role::counter:
                case zta::Role::gauge:
                    EXPECT_EQ(c.type, zta::kColumnTypeInteger) << "only integers are counted or measured";
                    EXPECT_GT(c.scale, 0.0);
                    break;
                case zta::Role::time:
                    EXPECT_EQ(c.type, zta::kColumnTypeText);
                    EXPECT_EQ(c.size, 16) << "a WB timestamp has 16 digits";
                    break;
                case zta::Role::state:
                    break;
            }
            std::string name = series_of(t, c);
            EXPECT_TRUE(prometheus::CheckMetricName(name)) << name;
            // Suffixes Prometheus keeps for summaries, histograms and counters.
            for (const char* kept : {"_count", "_sum", "_bucket", "_total"}) {
                if (c.role == zta::Role::counter && std::string(kept) == "_total") continue;
                const std::string suffix(kept);
                EXPECT_FALSE(name.size() > suffix.size() &&
                             name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                    << name << " ends in " << suffix;
            }
            if (c.role != zta::Role::state) {
                EXPECT_TRUE(columnOf.emplace(name, c.name).second)
                    << name << " also made by " << columnOf[name];
            }
            series.insert(name);
        }
        if (t.metric_mode == zta::MetricsMode::count) {
            EXPECT_FALSE(keys.empty()) << "a count table counts by its keys";
            series = {std::string(zta::kMetricsPrefix) + t.metric_subject + "_records_total"};
        } else if (!series.empty() && std::string(t.mib_class) != "T_DOMAIN") {
            // The domain is one object; any other table's rows need keys.
            EXPECT_FALSE(keys.empty()) << "rows without keys would all give the same series";
        }
        for (const std::string& name : series) {
            auto [it, fresh] = owners[name].emplace(keys, t.upper);
            EXPECT_TRUE(fresh) << name << " is served by " << it->second << " for the same objects";
        }
    }
}

TEST(MetricsRoles, TheBindingHandsTheDescriptionToTheFramework) {
    const zta::TableMeta& t = *zta::FindTable("TXSERVER");
    AgwTableMetrics info;
    ASSERT_EQ(zta::get_table_metrics(t, &info), 0);
    EXPECT_STREQ(info.prefix, "tuxedo_server");
    EXPECT_EQ(info.mode, AgwTableMode::rows);
    ASSERT_EQ(zta::get_table_metrics(*zta::FindTable("TXULOGS"), &info), 0);
    EXPECT_STREQ(info.prefix, "tuxedo_userlog");
    EXPECT_EQ(info.mode, AgwTableMode::count);

    std::map<std::string, AgwColumnMetric> byColumn;
    for (int i = 0; i < t.num_columns; ++i) {
        AgwColumnMetric m;
        ASSERT_EQ(zta::get_column_metric(t, &m, i), 0);
        byColumn[t.columns[i].name] = m;
    }
    EXPECT_EQ(byColumn["srvgrp"].role, AgwMetricRole::key);
    EXPECT_EQ(byColumn["srvid"].role, AgwMetricRole::key);
    EXPECT_EQ(byColumn["state"].role, AgwMetricRole::state);
    EXPECT_EQ(byColumn["timestart"].role, AgwMetricRole::time);
    EXPECT_STREQ(byColumn["timestart"].name, "start");
    EXPECT_EQ(byColumn["clopt"].role, AgwMetricRole::none);
    AgwColumnMetric m;
    EXPECT_NE(zta::get_column_metric(t, &m, t.num_columns), 0);

    const zta::TableMeta& q = *zta::FindTable("TXQSPCS");
    for (int i = 0; i < q.num_columns; ++i) {
        if (std::string(q.columns[i].name) == "pctcurmsg") {
            ASSERT_EQ(zta::get_column_metric(q, &m, i), 0);
            EXPECT_EQ(m.role, AgwMetricRole::gauge);
            EXPECT_DOUBLE_EQ(m.scale * 2500, 0.25) << "hundredths of a percent become a ratio";
        }
    }
}

}  // namespace
