// Reference counting, the class-type registry and the kuBase object core.
#include <ku/kuAllocRef.h>
#include <ku/kuBase.h>
#include <ku/kuHeapPages.h>
#include <ku/kuMemBase.h>
#include <ku/kuNotify.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A counted object that reports its deletion through a flag.
class Tracked : public kuMemBase {
public:
    explicit Tracked(bool* deleted) : m_deleted(deleted) {}

protected:
    ~Tracked() override { *m_deleted = true; }

private:
    bool* m_deleted;
};

class TrackedChild : public Tracked {
public:
    using Tracked::Tracked;
};

// A counted object that can be copied, to check that copies start without references.
class Copyable : public kuMemBase {
public:
    Copyable() = default;
    Copyable(const Copyable&) = default;
    Copyable& operator=(const Copyable&) = default;
    ~Copyable() override = default;
};

// Messages handed to the notify callback while a capture is alive.
class NotifyCapture {
public:
    struct Message {
        int level;
        const kuBase::ClassType* type;
        std::string text;
    };
    NotifyCapture() { kuNotify::setCallback(&NotifyCapture::receive, this); }
    ~NotifyCapture() { kuNotify::setCallback(nullptr, nullptr); }
    std::vector<Message> messages;

private:
    static void receive(int level, const kuBase::ClassType* type, const char* text, void* self) {
        static_cast<NotifyCapture*>(self)->messages.push_back({level, type, text});
    }
};

// ---- heap pages ----

// The "THPeligible" line of the mapping that holds an address, or -1 when none says.
int hugePageEligibility(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(maps, line)) {
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> from >> dash >> to && dash == '-' &&
            line.find(':') > line.find(' ')) {
            inside = from <= at && at < to;
        } else if (inside && line.rfind("THPeligible:", 0) == 0) {
            return std::stoi(line.substr(12));
        }
    }
    return -1;
}

struct HeapBlock : kuMemBase {
    char bytes[1500];
};

// Three heap steps of runtime objects, as a large scene's set-up makes.
std::vector<kuRef<HeapBlock>> fillHeapSteps() {
    std::vector<kuRef<HeapBlock>> blocks;
    const std::size_t count = 3 * kuHeapPages::HEAP_STEP / sizeof(HeapBlock);
    blocks.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        blocks.emplace_back(new HeapBlock);
    return blocks;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "a sanitizer's allocator owns the heap"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

TEST(KuHeapPagesTest, HeapGrowthUnderRuntimeObjectsIsAdvisedForHugePages) {
    SKIP_UNDER_SANITIZERS();
    std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(mode, modes);
    if (modes.empty() || modes.find("[never]") != std::string::npos)
        GTEST_SKIP() << "transparent huge pages are off here";
    const std::vector<kuRef<HeapBlock>> blocks = fillHeapSteps();
    EXPECT_GE(kuHeapPages::getAdvisedBytes(), std::size_t(kuHeapPages::HEAP_STEP));
    // The last objects lie in heap the system may back with huge pages; the first ones may not
    // (the heap had grown before).
    EXPECT_EQ(hugePageEligibility(blocks.back().get()), 1);
    EXPECT_EQ(hugePageEligibility(blocks[blocks.size() / 2].get()), 1);
}

TEST(KuHeapPagesTest, TheEnvironmentTurnsTheAdviceOff) {
    SKIP_UNDER_SANITIZERS();
    // A fresh process: the setting is read once, at the first allocation.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("KESTRIX_HEAP_HUGE_PAGES", "0", 1);
    EXPECT_EXIT(
        {
            const std::vector<kuRef<HeapBlock>> blocks = fillHeapSteps();
            std::exit(kuHeapPages::getAdvisedBytes() == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    unsetenv("KESTRIX_HEAP_HUGE_PAGES");
}

// ---- kuMemBase / kuRef ----

TEST(KuRefTest, ManualCountingDeletesOnlyAtTheLastUnref) {
    const std::size_t before = kuMemBase::getLiveAllocationCount();
    bool deleted = false;
    Tracked* object = new Tracked(&deleted);
    EXPECT_EQ(kuMemBase::getLiveAllocationCount(), before + 1);
    EXPECT_EQ(object->getRef(), 0);
    object->ref();
    EXPECT_EQ(object->unrefNoDelete(), 0);
    EXPECT_FALSE(deleted);
    object->ref();
    object->ref();
    EXPECT_EQ(object->unref(), 1);
    EXPECT_FALSE(deleted);
    EXPECT_EQ(object->unref(), 0);
    EXPECT_TRUE(deleted);
    EXPECT_EQ(kuMemBase::getLiveAllocationCount(), before);
}

TEST(KuRefTest, CopiesConversionsAndAssignmentShareAndReleaseReferences) {
    bool firstDeleted = false, secondDeleted = false;
    kuRef<TrackedChild> child = new TrackedChild(&firstDeleted);
    kuRef<Tracked> holder(child);
    {
        kuRef<Tracked> copy(holder);
        EXPECT_EQ(copy.get(), child.get());
        EXPECT_EQ(child->getRef(), 3);
        child.reset();
        holder.reset();
        EXPECT_FALSE(holder);
        EXPECT_FALSE(firstDeleted);
        holder = copy;
    }
    EXPECT_EQ(holder->getRef(), 1);

    // Assigning drops the previous object at once; self-assignment keeps the only reference.
    Tracked* second = new Tracked(&secondDeleted);
    holder = second;
    EXPECT_TRUE(firstDeleted);
    const kuRef<Tracked>& same = holder;
    holder = same;
    holder = holder.get();
    ASSERT_TRUE(holder);
    EXPECT_EQ(second->getRef(), 1);
    kuRef<Tracked> other;
    other = holder;
    EXPECT_EQ(second->getRef(), 2);
    other = nullptr;
    EXPECT_EQ(second->getRef(), 1);
    holder.reset();
    EXPECT_TRUE(secondDeleted);
}

TEST(KuRefTest, MovesAndReleaseTransferTheReference) {
    bool oldDeleted = false, movedDeleted = false;
    kuRef<Tracked> source = new Tracked(&movedDeleted);
    Tracked* moved = source.get();
    kuRef<Tracked> middle(std::move(source));
    EXPECT_FALSE(source);
    EXPECT_EQ(middle.get(), moved);
    EXPECT_EQ(moved->getRef(), 1);

    kuRef<Tracked> target = new Tracked(&oldDeleted);
    target = std::move(middle);
    // The target's previous object must go now, not whenever the moved-from holder dies.
    EXPECT_TRUE(oldDeleted);
    EXPECT_FALSE(middle);
    EXPECT_EQ(target.get(), moved);
    EXPECT_EQ(moved->getRef(), 1);
    kuRef<Tracked>& alias = target;
    target = std::move(alias);
    EXPECT_EQ(target.get(), moved);
    EXPECT_EQ(moved->getRef(), 1);

    Tracked* released = target.release();
    EXPECT_FALSE(target);
    EXPECT_FALSE(movedDeleted);
    EXPECT_EQ(released->getRef(), 0);
    kuRef<Tracked> again(released);
    EXPECT_EQ(released->getRef(), 1);
    again.reset();
    EXPECT_TRUE(movedDeleted);
}

TEST(KuRefTest, CopiedObjectsStartWithoutReferences) {
    kuRef<Copyable> original = new Copyable;
    kuRef<Copyable> second(original);
    kuRef<Copyable> copy = new Copyable(*original);
    EXPECT_EQ(copy->getRef(), 1);
    *copy = *original;
    EXPECT_EQ(copy->getRef(), 1);
    EXPECT_EQ(original->getRef(), 2);
}

TEST(KuAllocRefTest, BuffersAreZeroFilledAndSized) {
    for (std::size_t size : {64u, 0u}) {
        kuRef<kuAllocRef> buffer = kuAllocRef::malloc(size);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer->size(), size);
        EXPECT_EQ(buffer->getSizeRequested(), size);
        EXPECT_TRUE(std::all_of(buffer->data(), buffer->data() + size,
                                [](unsigned char c) { return c == 0; }));
    }
}

// ---- kuBase::ClassType ----

// An object of a test class type: registers on construction, unregisters on deletion.
class Probe : public kuBase {
public:
    Probe(ClassType* type, const char* name) : m_type(type) {
        setName(name);
        registerInstance(type);
    }
    const ClassType* getClassType() const override { return m_type; }

protected:
    ~Probe() override { unregisterInstance(m_type); }

private:
    ClassType* m_type;
};

// Class types are global: each test makes its own, named after itself, and deletes them.
class KuClassTypeTest : public ::testing::Test {
protected:
    kuBase::ClassType* makeType(const char* suffix, kuBase::ClassType* parent = nullptr,
                                bool track = true, bool report = false,
                                kuBase::CreateFunc create = nullptr) {
        m_types.push_back(
            new kuBase::ClassType(typeName(suffix).c_str(), parent, create, track, report));
        return m_types.back();
    }
    // Deletes a type made by makeType() before the end of the test.
    void deleteType(kuBase::ClassType* type) {
        m_types.erase(std::find(m_types.begin(), m_types.end(), type));
        delete type;
    }
    static std::string typeName(const char* suffix) {
        return std::string("KuClassTypeTest.") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + "." + suffix;
    }
    void TearDown() override {
        for (auto it = m_types.rbegin(); it != m_types.rend(); ++it)
            delete *it;
    }

private:
    std::vector<kuBase::ClassType*> m_types;
};

TEST_F(KuClassTypeTest, RegistryFindsTypesByNameInCreationOrder) {
    kuBase::ClassType* a = makeType("A");
    kuBase::ClassType* b = makeType("B");
    EXPECT_EQ(kuBase::ClassType::find(typeName("A").c_str()), a);
    EXPECT_EQ(kuBase::ClassType::find(typeName("B").c_str()), b);
    EXPECT_EQ(kuBase::ClassType::find(typeName("C").c_str()), nullptr);
    EXPECT_EQ(kuBase::ClassType::find(nullptr), nullptr);

    std::vector<kuBase::ClassType*> all = kuBase::ClassType::getAll();
    auto posA = std::find(all.begin(), all.end(), a);
    auto posB = std::find(all.begin(), all.end(), b);
    ASSERT_NE(posA, all.end());
    ASSERT_NE(posB, all.end());
    EXPECT_LT(posA, posB);

    deleteType(a);
    EXPECT_EQ(kuBase::ClassType::find(typeName("A").c_str()), nullptr);
    all = kuBase::ClassType::getAll();
    EXPECT_EQ(std::find(all.begin(), all.end(), a), all.end());
    EXPECT_EQ(kuBase::ClassType::find(typeName("B").c_str()), b);
}

TEST_F(KuClassTypeTest, ParentChainDecidesIsOfType) {
    kuBase::ClassType* a = makeType("A");
    kuBase::ClassType* b = makeType("B", a);
    kuBase::ClassType* c = makeType("C", b);
    kuBase::ClassType* other = makeType("Other");
    struct Case {
        const kuBase::ClassType* type;
        const kuBase::ClassType* of;
        bool expected;
    };
    const Case cases[] = {{c, a, true},      {c, b, true},       {c, c, true},  {b, a, true},
                          {a, b, false},     {a, c, false},      {b, c, false}, {other, a, false},
                          {a, other, false}, {a, nullptr, false}};
    for (const Case& k : cases)
        EXPECT_EQ(k.type->isOfType(k.of), k.expected)
            << k.type->getName() << " of " << (k.of ? k.of->getName() : "null");

    // Deleting a parent cuts the chain rather than leaving a dangling pointer.
    deleteType(b);
    EXPECT_EQ(c->getParent(), nullptr);
    EXPECT_FALSE(c->isOfType(a));
}

kuBase::ClassType* s_createdType = nullptr;
kuBase* createProbe() {
    return new Probe(s_createdType, "created");
}

TEST_F(KuClassTypeTest, CreateCallsTheFunctor) {
    s_createdType = makeType("Made", nullptr, true, false, &createProbe);
    kuBase::ClassType* plain = makeType("Plain");
    {
        kuRef<kuBase> made = s_createdType->create();
        ASSERT_TRUE(made);
        EXPECT_TRUE(made->isExactClassType(s_createdType));
        EXPECT_EQ(s_createdType->getInstanceCount(false), 1u);
    }
    EXPECT_EQ(s_createdType->getInstanceCount(false), 0u);
    EXPECT_EQ(plain->create(), nullptr);
    s_createdType = nullptr;
}

TEST_F(KuClassTypeTest, DuplicateNameIsReportedAndFindKeepsTheFirst) {
    NotifyCapture capture;
    kuBase::ClassType* first = makeType("Dup");
    EXPECT_TRUE(capture.messages.empty());
    kuBase::ClassType* second = makeType("Dup");
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0].level, kuNotify::FAIL);
    EXPECT_EQ(capture.messages[0].type, second);
    EXPECT_NE(capture.messages[0].text.find(typeName("Dup")), std::string::npos);
    EXPECT_EQ(kuBase::ClassType::find(typeName("Dup").c_str()), first);
}

TEST_F(KuClassTypeTest, InstancesAreListedInRegistrationOrder) {
    kuBase::ClassType* type = makeType("T");
    kuRef<Probe> one = new Probe(type, "one");
    kuRef<Probe> two = new Probe(type, "two");
    kuRef<Probe> three = new Probe(type, "three");
    EXPECT_EQ(type->getInstances(),
              (kuBase::ClassType::InstanceList{one.get(), two.get(), three.get()}));
    two.reset();
    kuRef<Probe> four = new Probe(type, "four");

    std::vector<std::string> names;
    type->lock_instance(false);
    for (auto it = kuInstanceIterator<Probe>::begin(type);
         it != kuInstanceIterator<Probe>::end(type); ++it)
        names.push_back((*it)->getName());
    type->unlock_instance(false);
    EXPECT_EQ(names, (std::vector<std::string>{"one", "three", "four"}));
    // Removed from the front, the back and twice: counts and indices follow at once.
    one.reset();
    EXPECT_EQ(type->getInstanceCount(false), 2u);
    EXPECT_EQ(kuGetInstance<Probe>(type, 0), three.get());
    three->unregisterInstance(type);
    four.reset();
    EXPECT_TRUE(type->isEmpty(false));
    EXPECT_EQ(type->findInstance("three", false), nullptr);
    EXPECT_TRUE(kuInstanceIterator<Probe>::begin(nullptr) ==
                kuInstanceIterator<Probe>::end(nullptr));
}

TEST_F(KuClassTypeTest, CountsEmptinessAndFindWithAndWithoutDerivedTypes) {
    kuBase::ClassType* a = makeType("A");
    kuBase::ClassType* b = makeType("B", a);
    kuBase::ClassType* c = makeType("C", b);
    kuBase::ClassType* other = makeType("Other");
    kuBase::ClassType* bare = makeType("Bare", a);
    std::vector<kuRef<Probe>> probes = {new Probe(a, "a"), new Probe(b, "b1"), new Probe(b, "b2"),
                                        new Probe(c, "c"), new Probe(other, "o")};

    struct Case {
        const kuBase::ClassType* type;
        bool includeDerived;
        std::size_t count;
    };
    const Case cases[] = {{a, false, 1u},    {a, true, 4u},     {b, false, 2u},
                          {b, true, 3u},     {c, false, 1u},    {c, true, 1u},
                          {other, true, 1u}, {bare, false, 0u}, {bare, true, 0u}};
    for (const Case& k : cases) {
        EXPECT_EQ(k.type->getInstanceCount(k.includeDerived), k.count)
            << k.type->getName() << " includeDerived=" << k.includeDerived;
        EXPECT_EQ(k.type->isEmpty(k.includeDerived), k.count == 0)
            << k.type->getName() << " includeDerived=" << k.includeDerived;
    }

    // A type whose only instances are in a derived type is empty on its own.
    probes.erase(probes.begin());
    EXPECT_TRUE(a->isEmpty(false));
    EXPECT_FALSE(a->isEmpty(true));
    probes.clear();
    EXPECT_TRUE(a->isEmpty(true));

    // findInstance looks at a type's own instances before those of derived types.
    kuRef<Probe> aShared = new Probe(a, "shared");
    kuRef<Probe> bShared = new Probe(b, "shared");
    kuRef<Probe> bOnly = new Probe(b, "onlyB");
    kuRef<Probe> cOnly = new Probe(c, "onlyC");

    struct FindCase {
        const kuBase::ClassType* type;
        const char* name;
        bool includeDerived;
        const kuBase* expected;
    };
    const FindCase finds[] = {
        {a, "shared", false, aShared.get()}, {a, "shared", true, aShared.get()},
        {b, "shared", false, bShared.get()}, {a, "onlyB", false, nullptr},
        {a, "onlyB", true, bOnly.get()},     {a, "onlyC", true, cOnly.get()},
        {c, "onlyB", true, nullptr},         {a, "missing", true, nullptr},
        {a, nullptr, true, nullptr}};
    for (const FindCase& k : finds)
        EXPECT_EQ(k.type->findInstance(k.name, k.includeDerived), k.expected)
            << k.type->getName() << " " << (k.name ? k.name : "null") << " " << k.includeDerived;
}

TEST_F(KuClassTypeTest, UntrackedTypesAndStrayUnregistrationsChangeNothing) {
    kuBase::ClassType* untracked = makeType("Untracked", nullptr, false);
    kuRef<Probe> probe = new Probe(untracked, "p");
    EXPECT_EQ(untracked->getInstanceCount(false), 0u);
    EXPECT_TRUE(untracked->getInstances().empty());
    EXPECT_EQ(untracked->findInstance("p", false), nullptr);

    kuBase::ClassType* type = makeType("T");
    kuRef<Probe> kept = new Probe(type, "kept");
    kuRef<kuBase> loose = new kuBase;
    loose->registerInstance(nullptr);
    loose->unregisterInstance(nullptr);
    loose->unregisterInstance(type);
    kept->unregisterInstance(type);
    kept->unregisterInstance(type);
    EXPECT_TRUE(type->isEmpty(false));
}

TEST_F(KuClassTypeTest, DeletionReportsLiveInstancesOnlyWhenAsked) {
    struct Case {
        bool report;
        bool live;
        bool expectMessage;
    };
    const Case cases[] = {
        {true, true, true}, {true, false, false}, {false, true, false}, {false, false, false}};
    for (const Case& k : cases) {
        kuBase::ClassType* type = makeType("Leak", nullptr, true, k.report);
        // A plain kuBase does not unregister itself, so it may outlive its type.
        kuRef<kuBase> object = new kuBase;
        kuRef<kuBase> second = new kuBase;
        if (k.live) {
            object->registerInstance(type);
            second->registerInstance(type);
        }
        NotifyCapture capture;
        deleteType(type);
        if (!k.expectMessage) {
            EXPECT_TRUE(capture.messages.empty()) << "report=" << k.report << " live=" << k.live;
            continue;
        }
        ASSERT_EQ(capture.messages.size(), 1u);
        EXPECT_EQ(capture.messages[0].level, kuNotify::NOTICE);
        EXPECT_NE(capture.messages[0].text.find(typeName("Leak")), std::string::npos);
        EXPECT_NE(capture.messages[0].text.find(" 2 "), std::string::npos)
            << capture.messages[0].text;
    }
}

TEST_F(KuClassTypeTest, ConcurrentRegistrationKeepsEveryInstance) {
    constexpr int PER_THREAD = 500;
    kuBase::ClassType* a = makeType("A");
    kuBase::ClassType* b = makeType("B", a);
    std::atomic<bool> walkedConsistently{true};
    auto registerMany = [](kuBase::ClassType* type, std::vector<kuRef<Probe>>* out) {
        for (int i = 0; i < PER_THREAD; ++i)
            out->push_back(new Probe(type, "p"));
    };
    // Walks the lists under the instance lock; nothing may be added while it is held.
    auto walk = [&] {
        for (int i = 0; i < 200; ++i) {
            a->lock_instance(true);
            const std::size_t before = a->getInstanceCount(true);
            std::size_t walked = 0;
            for (const kuBase::ClassType* type : {a, b})
                for (kuBase* instance : type->getInstances())
                    walked += instance != nullptr;
            if (walked != before || a->getInstanceCount(true) != before)
                walkedConsistently = false;
            a->unlock_instance(true);
        }
    };
    std::vector<kuRef<Probe>> fromA, fromB;
    std::thread first(registerMany, a, &fromA);
    std::thread second(registerMany, b, &fromB);
    std::thread walker(walk);
    first.join();
    second.join();
    walker.join();
    EXPECT_TRUE(walkedConsistently);
    EXPECT_EQ(a->getInstanceCount(false), std::size_t(PER_THREAD));
    EXPECT_EQ(a->getInstanceCount(true), std::size_t(2 * PER_THREAD));
    fromA.clear();
    fromB.clear();
    EXPECT_TRUE(a->isEmpty(true));
}

TEST_F(KuClassTypeTest, InstanceLockHoldsOffOtherThreads) {
    kuBase::ClassType* type = makeType("T");
    kuRef<Probe> held = new Probe(type, "held");
    kuRef<Probe> added;
    type->lock_instance(false);
    type->lock_instance(false); // recursive on one thread
    std::thread other([&] { added = new Probe(type, "added"); });
    bool changed = false;
    for (int i = 0; i < 1000 && !changed; ++i) {
        std::this_thread::yield();
        changed = type->getInstances().size() != 1;
    }
    type->unlock_instance(false);
    type->unlock_instance(false);
    other.join();
    EXPECT_FALSE(changed);
    EXPECT_EQ(type->getInstanceCount(false), 2u);
}

// ---- kuBase ----

class KuBaseTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kuBase::initializeClass(); }
    static void TearDownTestSuite() { kuBase::shutdownClass(); }
};

TEST_F(KuBaseTest, OwnAndDerivedClassTypesAnswerTypeQueries) {
    kuBase::ClassType* type = kuBase::getStaticClassType();
    ASSERT_NE(type, nullptr);
    EXPECT_STREQ(type->getName(), "kuBase");
    EXPECT_EQ(kuBase::ClassType::find("kuBase"), type);
    kuRef<kuBase> object = new kuBase;
    EXPECT_EQ(object->getClassType(), type);
    EXPECT_TRUE(object->isOfClassType(type));
    EXPECT_TRUE(object->isExactClassType(type));
    EXPECT_FALSE(object->isOfClassType(nullptr));
    EXPECT_EQ(object->makeCopy(), nullptr);

    kuBase::ClassType derived("KuBaseTest.Derived", kuBase::getStaticClassType(), nullptr, true,
                              false);
    kuRef<Probe> probe = new Probe(&derived, "p");
    EXPECT_TRUE(probe->isOfClassType(kuBase::getStaticClassType()));
    EXPECT_TRUE(probe->isOfClassType(&derived));
    EXPECT_TRUE(probe->isExactClassType(&derived));
    EXPECT_FALSE(probe->isExactClassType(kuBase::getStaticClassType()));
    probe.reset(); // before its type goes
}

TEST_F(KuBaseTest, EmptyNameMeansNoName) {
    kuRef<kuBase> object = new kuBase;
    EXPECT_FALSE(object->hasName());
    object->setName("lamp");
    EXPECT_TRUE(object->hasName());
    object->setName("");
    EXPECT_FALSE(object->hasName());
    object->setName(nullptr);
    EXPECT_STREQ(object->getName(), "");
}

TEST_F(KuBaseTest, CopyTakesTheNameUnlessTheBaseIsExcluded) {
    kuRef<kuBase> source = new kuBase;
    source->setName("source");
    struct Case {
        int options;
        const char* expectedName;
    };
    const Case cases[] = {{0, "source"}, {kuBase::COPY_EXCLUDE_BASE, "target"}};
    for (const Case& k : cases) {
        kuRef<kuBase> target = new kuBase;
        target->setName("target");
        EXPECT_EQ(target->copy(source.get(), k.options), KU_SUCCESS);
        // Neither a failed copy nor a copy from itself changes the name.
        EXPECT_EQ(target->copy(nullptr, k.options), KU_FAILURE);
        EXPECT_EQ(target->copy(target.get(), k.options), KU_SUCCESS);
        EXPECT_STREQ(target->getName(), k.expectedName) << "options " << k.options;
    }
}

TEST_F(KuBaseTest, CompareLooksAtTheNameUnlessTheBaseIsExcluded) {
    kuBase::ClassType otherType("KuBaseTest.Other", kuBase::getStaticClassType(), nullptr, true,
                                false);
    kuRef<kuBase> a = new kuBase, sameName = new kuBase, otherName = new kuBase;
    kuRef<kuBase> otherClass = new Probe(&otherType, "x");
    a->setName("x");
    sameName->setName("x");
    otherName->setName("y");
    struct Case {
        const kuBase* other;
        int options;
        bool expected;
    };
    const Case cases[] = {
        {a.get(), 0, true},           {sameName.get(), 0, true},
        {otherName.get(), 0, false},  {otherName.get(), kuBase::COPY_EXCLUDE_BASE, true},
        {otherClass.get(), 0, false}, {otherClass.get(), kuBase::COPY_EXCLUDE_BASE, false},
        {nullptr, 0, false}};
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(a->compare(cases[i].other, cases[i].options), cases[i].expected) << "case " << i;
    otherClass.reset();
}

TEST_F(KuBaseTest, CopyConstructionAndAssignmentTakeTheNameButNotTheUserData) {
    bool deleted = false;
    kuRef<kuBase> original = new kuBase;
    original->setName("original");
    original->getUserDataList(true)->add(new Tracked(&deleted));
    original->ref();

    kuRef<kuBase> copy = new kuBase(*original);
    EXPECT_STREQ(copy->getName(), "original");
    EXPECT_EQ(copy->getRef(), 1);
    EXPECT_EQ(copy->getUserDataList(), nullptr);

    kuRef<kuBase> assigned = new kuBase;
    kuUserDataList* own = assigned->getUserDataList(true);
    *assigned = *original;
    EXPECT_STREQ(assigned->getName(), "original");
    EXPECT_EQ(assigned->getUserDataList(false), own);
    EXPECT_EQ(assigned->getRef(), 1);

    original->unref();
    original.reset();
    EXPECT_TRUE(deleted);
}

TEST_F(KuBaseTest, UserDataListHoldsReferencesUntilDeleted) {
    kuRef<kuBase> object = new kuBase;
    EXPECT_EQ(object->getUserDataList(false), nullptr);
    kuUserDataList* list = object->getUserDataList(true);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(object->getUserDataList(true), list);

    bool firstDeleted = false, secondDeleted = false;
    Tracked* first = new Tracked(&firstDeleted);
    Tracked* second = new Tracked(&secondDeleted);
    list->add(first);
    list->add(second);
    EXPECT_EQ(list->get(0), first);
    EXPECT_EQ(list->get(1), second);
    EXPECT_EQ(list->get(2), nullptr);
    EXPECT_EQ(first->getRef(), 1);

    object->deleteUserDataList();
    EXPECT_EQ(object->getUserDataList(false), nullptr);
    EXPECT_TRUE(firstDeleted);
    EXPECT_TRUE(secondDeleted);

    // Deleting the object releases its list too.
    bool thirdDeleted = false;
    object->getUserDataList(true)->add(new Tracked(&thirdDeleted));
    object.reset();
    EXPECT_TRUE(thirdDeleted);
}

} // namespace
