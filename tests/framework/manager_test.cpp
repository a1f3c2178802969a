// Table managers: registration, their lists of table objects, handles.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "agw_internal.h"
#include "test_table.h"

namespace {

struct ManagerTest : ::testing::Test {
    void SetUp() override { agw::UnregisterAllManagers(); }
    void TearDown() override { agw::UnregisterAllManagers(); }
};

TEST_F(ManagerTest, KeepsCopiesOfTheNames) {
    char application[] = "TST";
    char table[] = "TXTRANSACT";
    struct M : TableManager {
        using TableManager::TableManager;
        tavro* CreateTavro(RequestDetail*, ContextInfo*) override { return nullptr; }
    } manager(application, table);
    application[0] = table[0] = 'X';
    EXPECT_STREQ(manager.ApplicationName(), "TST");
    EXPECT_STREQ(manager.TableName(), "TXTRANSACT");
}

TEST_F(ManagerTest, RegistrationRefusesDuplicatesAndBadNames) {
    TstManager first;
    TstManager second;
    TstManager other("OTHER");
    EXPECT_EQ(TableManager::RegisterWithManager(&first), 0);
    EXPECT_EQ(TableManager::RegisterWithManager(&second), AGW_STATUS_DUPLICATE_TABLE);
    EXPECT_EQ(TableManager::RegisterWithManager(&other), 0);
    EXPECT_EQ(TableManager::Find("TSTQUEUE"), &first);
    EXPECT_EQ(TableManager::Find("tstqueue"), nullptr);
    EXPECT_EQ(TableManager::RegisterWithManager(nullptr), AGW_STATUS_BAD_ARGUMENT);
    TstManager empty("");
    EXPECT_EQ(TableManager::RegisterWithManager(&empty), AGW_STATUS_BAD_ARGUMENT);
    std::string longName(AGW_NAME_SIZE + 5, 'T');
    TstManager cut(longName.c_str());
    EXPECT_EQ(std::strlen(cut.TableName()), AGW_NAME_SIZE - 1);
    EXPECT_EQ(TableManager::RegisterWithManager(&cut), AGW_STATUS_BAD_ARGUMENT);
}

TEST_F(ManagerTest, ADestroyedManagerIsNoLongerRegisteredAndTakesItsObjectsAlong) {
    int before = Counters().live;
    {
        TstManager manager;
        ASSERT_EQ(TableManager::RegisterWithManager(&manager), 0);
        manager.NewTableObject(nullptr, nullptr);
        manager.NewTableObject(nullptr, nullptr);
        EXPECT_EQ(manager.List().Count(), 2u);
    }
    EXPECT_EQ(Counters().live, before);
    EXPECT_EQ(TableManager::Find("TSTQUEUE"), nullptr);
}

TEST_F(ManagerTest, ListHoldsLiveObjectsInOrderUntilDeleted) {
    TstManager manager;
    tavro* a = manager.NewTableObject(nullptr, nullptr);
    tavro* b = manager.NewTableObject(nullptr, nullptr);
    manager.failCreate = true;
    EXPECT_EQ(manager.NewTableObject(nullptr, nullptr), nullptr);
    TavroListIter it(manager.List());
    EXPECT_EQ(it.Next(), a);
    EXPECT_EQ(it.Next(), b);
    EXPECT_EQ(it.Next(), nullptr);
    manager.DeleteTableObject(a);
    EXPECT_EQ(manager.List().Count(), 1u);
    delete b;  // deleting directly also leaves the list
    EXPECT_EQ(manager.List().Count(), 0u);
}

TEST_F(ManagerTest, HandlesCountUsesAndDieWithTheirObject) {
    TstManager manager;
    tavro* a = manager.NewTableObject(nullptr, nullptr);
    tavro* b = manager.NewTableObject(nullptr, nullptr);
    EXPECT_NE(a->Handle(), 0u);
    EXPECT_NE(a->Handle(), b->Handle());
    EXPECT_NE(a->Identifier(), b->Identifier());
    EXPECT_EQ(a->Drop(), AGW_STATUS_NOT_IN_USE);
    EXPECT_EQ(tavro::UseHandle(a->Handle()), 0);
    EXPECT_EQ(tavro::UseHandle(a->Handle()), 0);
    EXPECT_EQ(a->Drop(), 0);
    EXPECT_EQ(HDL1_Drop(a->Handle()), 0);
    EXPECT_EQ(a->Drop(), AGW_STATUS_NOT_IN_USE);
    unsigned gone = a->Handle();
    manager.DeleteTableObject(a);
    EXPECT_EQ(tavro::UseHandle(gone), AGW_STATUS_BAD_HANDLE);
    EXPECT_EQ(HDL1_Drop(gone), AGW_STATUS_BAD_HANDLE);
    EXPECT_EQ(tavro::UseHandle(0), AGW_STATUS_BAD_HANDLE);
    manager.DeleteTableObject(b);
}

// Objects made and destroyed on several threads while another walks the
// list the way the push path does: nothing is lost, nothing is touched after
// it is destroyed (ASan would tell).
TEST_F(ManagerTest, ListStaysSoundUnderConcurrentCreateAndDestroy) {
    TstManager manager;
    int before = Counters().live;
    std::atomic<bool> done{false};
    std::atomic<long> visits{0};
    std::thread walker([&] {
        while (!done.load()) {
            manager.lock();
            TavroListIter it(manager.List());
            while (tavro* object = it.Next()) {
                ASSERT_EQ(tavro::UseHandle(object->Handle()), 0);
                static_cast<TstObject*>(object)->AddRow(MakeRow("W", 1, "ON"));
                object->ClearCount();
                ASSERT_EQ(object->Drop(), 0);
                ++visits;
            }
            manager.unlock();
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> makers;
    for (int t = 0; t < 4; ++t) {
        makers.emplace_back([&] {
            std::vector<tavro*> mine;
            for (int i = 0; i < 300; ++i) {
                mine.push_back(manager.NewTableObject(nullptr, nullptr));
                if (i % 3 == 2) {
                    manager.DeleteTableObject(mine.front());
                    mine.erase(mine.begin());
                }
            }
            while (visits.load() == 0) std::this_thread::yield();  // let the walker meet them
            for (tavro* object : mine) manager.DeleteTableObject(object);
        });
    }
    for (auto& t : makers) t.join();
    done = true;
    walker.join();
    EXPECT_EQ(manager.List().Count(), 0u);
    EXPECT_EQ(Counters().live, before);
    EXPECT_GT(visits.load(), 0);
}

}  // namespace
