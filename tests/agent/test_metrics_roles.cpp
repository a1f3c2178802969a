// The metrics roles of the twenty table descriptions: every series name the
// endpoint would serve is valid, belongs to one column (state columns share
// their series on purpose), carries its table's keys, and no two tables serve
// the same series for the same objects; every value says what it is, every
// label is a word used for one thing only, and the scope names the column
// that places the object.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "agw_metrics.h"
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
                    EXPECT_TRUE(agw::ValidLabelName(c.label)) << c.label;
                    EXPECT_TRUE(keys.insert(c.label).second) << "two keys named " << c.label;
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
            EXPECT_TRUE(agw::ValidMetricName(name)) << name;
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
        if (t.metric_mode == zta::MetricsMode::none) continue;
        if (!series.empty() && std::string(t.mib_class) != "T_DOMAIN") {
            // The domain is one object; any other table's rows need keys.
            EXPECT_FALSE(keys.empty()) << "rows without keys would all give the same series";
        }
        for (const std::string& name : series) {
            auto [it, fresh] = owners[name].emplace(keys, t.upper);
            EXPECT_TRUE(fresh) << name << " is served by " << it->second << " for the same objects";
        }
    }
}

bool is_word_label(const std::string& label) {
    return !label.empty() && label[0] >= 'a' && label[0] <= 'z' &&
           std::all_of(label.begin(), label.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
}

TEST(MetricsRoles, ValuesSayWhatTheyMeasureAndLabelsAreOneWordPerConceptAcrossTables) {
    // MIB attribute -> the label it gives, and where that was first seen.
    std::map<std::string, std::pair<std::string, std::string>> labelOf;
    for (const zta::TableMeta& t : zta::kTables) {
        SCOPED_TRACE(t.upper);
        std::set<std::string> keys;
        std::map<std::string, std::set<std::string>> stateLabels;  // series -> its labels
        for (unsigned short i = 0; i < t.num_columns; ++i) {
            const zta::ColumnMeta& c = t.columns[i];
            SCOPED_TRACE(c.name);
            if (c.role == zta::Role::key || c.role == zta::Role::state) {
                EXPECT_TRUE(is_word_label(c.label)) << "\"" << c.label << "\"";
                EXPECT_STREQ(c.help, "");
                if (c.role == zta::Role::key) {
                    keys.insert(c.label);
                } else {
                    EXPECT_TRUE(stateLabels[c.metric].insert(c.label).second) << c.label << " twice in " << c.metric;
                }
                if (*c.attribute != '\0') {
                    auto [it, fresh] = labelOf.emplace(c.attribute, std::make_pair(c.label, t.upper));
                    EXPECT_EQ(it->second.first, c.label)
                        << c.attribute << " is " << it->second.first << " in " << it->second.second;
                }
            } else if (c.role != zta::Role::none) {
                const std::string help = c.help;
                EXPECT_TRUE(help.size() > 10 && help.size() <= 100) << help;
                EXPECT_TRUE(help.front() >= 'A' && help.front() <= 'Z' && help.back() == '.') << help;
                EXPECT_STREQ(c.label, "");
                // A value in a unit says which.
                const std::string metric = c.metric;
                if (metric.ends_with("_seconds") || c.role == zta::Role::time) {
                    EXPECT_NE(help.find("seconds"), std::string::npos) << help;
                }
                if (metric.ends_with("_ratio")) {
                    EXPECT_NE(help.find("ratio"), std::string::npos) << help;
                }
            }
        }
        for (const auto& [series, labels] : stateLabels) {
            for (const std::string& label : labels) EXPECT_EQ(keys.count(label), 0u) << label << " is a key too";
        }
    }
    // The descriptions are checked as they compile; the check itself finds a
    // value without help and a state without label.
    constexpr zta::ColumnMeta kUndescribed[] = {
        {"curmsg", "CURMSG", 0, 4, zta::kColumnTypeInteger, "", zta::Pad::none, zta::Role::gauge, "messages", 1.0,
         "", ""},
        {"state", "STATE", 4, 8, zta::kColumnTypeText, "", zta::Pad::blank, zta::Role::state, "state", 1.0, "", ""},
    };
    static_assert(!zta::detail::RolesAreDescribed(kUndescribed, 1));
    static_assert(!zta::detail::RolesAreDescribed(kUndescribed + 1, 1));
}

TEST(MetricsRoles, TheScopeNamesTheColumnThatPlacesTheObject) {
    for (const zta::TableMeta& t : zta::kTables) {
        SCOPED_TRACE(t.upper);
        if (t.scope == zta::Scope::domain) {
            EXPECT_EQ(t.scope_column, -1);
            continue;
        }
        ASSERT_GE(t.scope_column, 0);
        ASSERT_LT(t.scope_column, t.num_columns);
        const zta::ColumnMeta& c = t.columns[t.scope_column];
        EXPECT_EQ(c.type, zta::kColumnTypeText) << c.name;
        EXPECT_EQ(c.role, zta::Role::key) << c.name;
        const std::string label = c.label;
        if (t.scope == zta::Scope::machine) {
            EXPECT_TRUE(label.ends_with("lmid")) << c.name << " is " << label;
        } else {
            EXPECT_EQ(label, "srvgrp") << c.name;
        }
    }
    EXPECT_EQ(zta::FindTable("TXSERVER")->scope, zta::Scope::group);
    EXPECT_STREQ(zta::FindTable("TXQLOAD")->columns[zta::FindTable("TXQLOAD")->scope_column].name, "source");
    EXPECT_EQ(zta::FindTable("TXBBLCFG")->scope, zta::Scope::domain);
}

TEST(MetricsRoles, TheBindingHandsTheDescriptionToTheFramework) {
    const zta::TableMeta& t = *zta::FindTable("TXSERVER");
    AgwTableMetrics info;
    ASSERT_EQ(zta::get_table_metrics(t, &info), 0);
    EXPECT_STREQ(info.prefix, "tuxedo_server");
    EXPECT_STREQ(info.subject, "Server");
    EXPECT_EQ(info.mode, AgwTableMode::rows);
    ASSERT_EQ(zta::get_table_metrics(*zta::FindTable("TXULOGS"), &info), 0);
    EXPECT_EQ(info.mode, AgwTableMode::none);
    ASSERT_EQ(zta::get_table_metrics(*zta::FindTable("TXQTRAN"), &info), 0);
    EXPECT_STREQ(info.subject, "Appq transaction");
    EXPECT_EQ(info.mode, AgwTableMode::aggregate);

    std::map<std::string, AgwColumnMetric> byColumn;
    for (int i = 0; i < t.num_columns; ++i) {
        AgwColumnMetric m;
        ASSERT_EQ(zta::get_column_metric(t, &m, i), 0);
        byColumn[t.columns[i].name] = m;
    }
    EXPECT_EQ(byColumn["srvgrp"].role, AgwMetricRole::key);
    EXPECT_STREQ(byColumn["srvgrp"].label, "srvgrp");
    EXPECT_EQ(byColumn["srvid"].role, AgwMetricRole::key);
    EXPECT_EQ(byColumn["servernm"].role, AgwMetricRole::state);
    EXPECT_STREQ(byColumn["servernm"].name, "info");
    EXPECT_STREQ(byColumn["servernm"].label, "program");
    EXPECT_EQ(byColumn["timestart"].role, AgwMetricRole::time);
    EXPECT_STREQ(byColumn["timestart"].name, "start");
    EXPECT_STREQ(byColumn["timestart"].help, "When the server was last started, in Unix seconds.");
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
