// The configuration parser: values of every kind, references, reporting, modules, the runtime's
// keywords building a scene, shapes and the motion strategies driven by kernel frames.
#include "kxTestSupport.h"

#include <kc/kcConfigParser.h>
#include <kr/krGeometry.h>
#include <kr/krShaderInfrastructure.h>
#include <ks/ksChannel.h>
#include <ks/ksWindow.h>
#include <kx/kxCoordConverter.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxShapes.h>
#include <kx/kxStrategies.h>
#include <kx/kxTerrain.h>
#include <kx/kxTransform.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A configurable test class whose one property records what it was given.
class Probe : public kuBase {
public:
    static kuBase* create() { return new Probe; }
    const ClassType* getClassType() const override { return s_type; }
    static ClassType* s_type;
    std::vector<kcVariant> seen;

protected:
    ~Probe() override = default;
};
kuBase::ClassType* Probe::s_type = nullptr;

int recordValue(kuBase* instance, const kcArgValues& values) {
    static_cast<Probe*>(instance)->seen.push_back(values.getVariant(0));
    return 1;
}

class ConfigParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
        Probe::s_type = new kuBase::ClassType("Probe", kuBase::getStaticClassType(), Probe::create,
                                              false, false);
        parser = kcConfigParser::getTheConfigParser();
        ASSERT_EQ(parser->addConfigurableClass("Probe", Probe::s_type), 1);
    }
    void TearDown() override {
        kxKernel::shutdown();
        delete Probe::s_type;
        Probe::s_type = nullptr;
    }
    int parse(const std::string& text) { return parser->parseString(text.c_str(), "test.xml"); }
    template <class T>
    T* find(const char* name) {
        return static_cast<T*>(parser->findInstance(name));
    }
    // Runs kernel frames 1..frames at 10 frames per second (0.1 s apart).
    void runFrames(int frames) {
        kxKernel::instance()->setFrameRate(10);
        ASSERT_EQ(kxKernel::instance()->configure(), 1);
        for (int i = 0; i < frames; ++i)
            ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
    }

    kcConfigParser* parser = nullptr;
    kxMessageCapture capture;
};

TEST_F(ConfigParserTest, EveryKindIsReadAndUnreadableValuesBecomeZero) {
    struct Case {
        kcVariant::Type type;
        const char* text;
        double number; // getDouble() of what the handler received
        const char* string;
        bool readable;
    };
    const Case cases[] = {
        {kcVariant::TYPE_BOOL, "true", 1, "", true},
        {kcVariant::TYPE_BOOL, " No ", 0, "", true},
        {kcVariant::TYPE_BOOL, "maybe", 0, "", false},
        {kcVariant::TYPE_FLOAT, "1.5", 1.5, "", true},
        {kcVariant::TYPE_FLOAT, "abc", 0, "", false},
        {kcVariant::TYPE_FLOAT, "1e39", 0, "", false},
        {kcVariant::TYPE_DOUBLE, "-2.25e2", -225, "", true},
        {kcVariant::TYPE_DOUBLE, "1.0x", 0, "", false},
        {kcVariant::TYPE_INT, " -7 ", -7, "", true},
        {kcVariant::TYPE_INT, "3.5", 0, "", false},
        {kcVariant::TYPE_INT, "99999999999", 0, "", false},
        {kcVariant::TYPE_STRING, "two words", 0, "two words", true},
        {kcVariant::TYPE_TOKEN, "pipelined", 1, "pipelined", true},
        {kcVariant::TYPE_TOKEN, "parallel", 0, "", false},
        {kcVariant::TYPE_BITMASK, "0x0C", 12, "", true},
        {kcVariant::TYPE_BITMASK, "fog | 0x10|1", 19, "", true},
        {kcVariant::TYPE_BITMASK, "-1", 0, "", false},
        {kcVariant::TYPE_BITMASK, "0x", 0, "", false},
        {kcVariant::TYPE_BITMASK, "fog|smoke", 0, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(kcVariant::getTypeName(c.type)) + " \"" + c.text + "\"");
        kcArgDefinitions args;
        if (c.type == kcVariant::TYPE_TOKEN)
            ASSERT_EQ(args.addToken("value", {{"serial", 0}, {"pipelined", 1}}), 1);
        else if (c.type == kcVariant::TYPE_BITMASK)
            ASSERT_EQ(args.addBitmask("value", {{"lighting", 1}, {"fog", 2}}), 1);
        else
            ASSERT_EQ(args.add("value", c.type), 1);
        ASSERT_EQ(parser->addConfigurableProp("Probe", "set", args, recordValue), 1);
        capture.clear();
        ASSERT_EQ(parse(std::string("<kestrix>\n  <Probe name=\"p\">\n    <set value=\"") + c.text +
                        "\"/>\n  </Probe>\n</kestrix>\n"),
                  1);
        Probe* probe = find<Probe>("p");
        ASSERT_NE(probe, nullptr);
        ASSERT_EQ(probe->seen.size(), 1u);
        EXPECT_EQ(probe->seen[0].getType(), c.type);
        EXPECT_DOUBLE_EQ(probe->seen[0].getDouble(), c.number);
        EXPECT_STREQ(probe->seen[0].getString(), c.string);
        EXPECT_EQ(parser->getNumErrors(), c.readable ? 0 : 1);
        EXPECT_EQ(capture.countContaining("test.xml:3:5: Probe \"p\" set: argument \"value\""),
                  c.readable ? 0 : 1);
        parser->clear();
    }
}

TEST_F(ConfigParserTest, HandlersReportThroughTheParserWithFileLineAndColumn) {
    kcArgDefinitions args;
    args.add("x", kcVariant::TYPE_DOUBLE);
    args.add("y", kcVariant::TYPE_DOUBLE);
    auto refuseNegative = [](kuBase*, const kcArgValues& values) {
        if (values.getDouble(1) < 0)
            kcConfigParser::getTheConfigParser()->stubsParseError(values, 1,
                                                                  "must not be negative");
        return values.getDouble(1) < 0 ? -32767 : 1;
    };
    ASSERT_EQ(parser->addConfigurableProp("Probe", "pair", args, refuseNegative), 1);
    ASSERT_EQ(parse("<kestrix><Probe name=\"q\"><pair x=\"1\" y=\"2\"/>"
                    "<pair x=\"1\" y=\"-2\"/></Probe></kestrix>"),
              1);
    EXPECT_EQ(capture.count(5, "test.xml:1:45: Probe \"q\" pair: argument \"y\": must not be "
                               "negative"),
              1);
    EXPECT_EQ(capture.count(5, "test.xml:1:45: Probe \"q\" pair: not applied"), 1);
    EXPECT_EQ(parser->getNumErrors(), 2);
}

TEST_F(ConfigParserTest, ReferencesResolveForwardAndBadOnesAreSkipped) {
    ASSERT_EQ(parse(R"(<kestrix>
  <Scene name="scene">
    <addChild>car</addChild>
    <addChild node="nobody"/>
    <addChild node="win"/>
    <addChild/>
  </Scene>
  <Transform name="car"/>
  <Window name="win"/>
</kestrix>)"),
              1);
    kxScene* scene = find<kxScene>("scene");
    ASSERT_NE(scene, nullptr);
    ASSERT_EQ(scene->getRoot()->getNumChildren(), 1);
    EXPECT_EQ(scene->getRoot()->getChild(0), find<ksNode>("car"));
    EXPECT_EQ(capture.countContaining("test.xml:4:5: Scene \"scene\" addChild: argument \"node\": "
                                      "no object named \"nobody\""),
              1);
    EXPECT_EQ(capture.countContaining("test.xml:5:5: Scene \"scene\" addChild: argument \"node\": "
                                      "\"win\" is a ksWindow, not a ksNode"),
              1);
    EXPECT_EQ(capture.countContaining("test.xml:6:5: Scene \"scene\" addChild: argument \"node\": "
                                      "missing"),
              1);
    EXPECT_EQ(parser->getNumErrors(), 3);
}

TEST_F(ConfigParserTest, UnknownKeywordsAreReportedAndParsingGoesOn) {
    ASSERT_EQ(parse(R"(<kestrix>
  <Spaceship name="s"><fly/></Spaceship>
  <Window name="win" colour="red">
    <setSize width="320" height="200" depth="8"/>
    <setTitle>hello</setTitle>  <setOrigin x="5" y="6"/>
    <setOrigin x="1" y="2" >3</setOrigin>
  </Window>
</kestrix>)"),
              1);
    auto* window = find<ksWindow>("win");
    ASSERT_NE(window, nullptr);
    int width = 0, height = 0, x = 0, y = 0;
    window->getSize(width, height);
    window->getOrigin(x, y);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 200);
    EXPECT_EQ(x, 1);
    EXPECT_EQ(y, 2);
    EXPECT_EQ(parser->findInstance("s"), nullptr);
    const char* expected[] = {
        "test.xml:2:3: unknown class keyword \"Spaceship\"",
        "test.xml:3:3: Window: unknown attribute \"colour\"",
        "test.xml:4:5: Window \"win\" setSize: unknown argument \"depth\"",
        "test.xml:5:5: unknown property \"setTitle\" of Window",
        "test.xml:6:5: Window \"win\" setOrigin: text \"3\" ignored",
    };
    for (const char* text : expected)
        EXPECT_EQ(capture.countContaining(text), 1) << text;
    EXPECT_EQ(parser->getNumErrors(), 5);
}

TEST_F(ConfigParserTest, FilesThatCannotBeReadFail) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"<kestrix>\n<!-- one -->\n  <Window name=\"w\"></Windo>\n</kestrix>\n",
         "bad.xml:3: not well-formed"},
        {"<kestrix>\n  <Window name=\"w\"\n</kestrix>\n", "bad.xml:2: not well-formed"},
        {"", "bad.xml: not well-formed"},
        {"<scene>\n</scene>\n", "bad.xml:1: the root element is <scene>, not <kestrix>"},
    };
    kxTempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string path = dir.file("bad.xml");
        std::ofstream(path) << c.text;
        capture.clear();
        EXPECT_EQ(parser->parseFile(path.c_str()), -32767);
        EXPECT_EQ(capture.countContaining(std::string(dir.path() / c.message)), 1);
        EXPECT_EQ(parser->findInstance("w"), nullptr);
    }
    capture.clear();
    EXPECT_EQ(parser->parseFile(dir.file("missing.xml").c_str()), -32767);
    EXPECT_EQ(capture.countContaining("missing.xml: cannot open"), 1);
}

TEST_F(ConfigParserTest, SingleArgumentsComeAsTextOrAttribute) {
    struct Case {
        const char* property;
        bool enabled;
        int errors;
    };
    const Case cases[] = {
        {"<setStaticEnable>true</setStaticEnable>", true, 0},
        {"<setStaticEnable enable=\" yes\"/>", true, 0},
        {"<setStaticEnable enable=\"true\">false</setStaticEnable>", true, 1},
        {"<setStaticEnable/>", false, 1},
        {"<setStaticEnable>true<x/></setStaticEnable>", true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.property);
        ASSERT_EQ(parse(std::string("<kestrix><Transform name=\"t\">") + c.property +
                        "</Transform></kestrix>"),
                  1);
        ASSERT_NE(find<kxTransform>("t"), nullptr);
        EXPECT_EQ(find<kxTransform>("t")->getStaticEnable(), c.enabled);
        EXPECT_EQ(parser->getNumErrors(), c.errors);
        parser->clear();
    }
}

TEST_F(ConfigParserTest, ShaderInfrastructureIsOffUntilAFileOrTheCodeTurnsItOn) {
    EXPECT_FALSE(krShaderInfrastructure::isEnabled());
    ASSERT_EQ(parse("<kestrix><ShaderInfrastructure name=\"s\"><setEnable>true</setEnable>"
                    "</ShaderInfrastructure></kestrix>"),
              1);
    EXPECT_EQ(parser->getNumErrors(), 0);
    EXPECT_EQ(find<krShaderInfrastructure>("s"), krShaderInfrastructure::instance());
    EXPECT_TRUE(krShaderInfrastructure::isEnabled());
    // The kernel's shutdown drops it, switched off.
    parser->clear();
    kxKernel::shutdown();
    EXPECT_FALSE(krShaderInfrastructure::isEnabled());
    ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
}

TEST_F(ConfigParserTest, InstancesAreHeldUntilClearAndRegisteredOnesCanBeConfigured) {
    kuRef<kxTransform> external = new kxTransform;
    ASSERT_EQ(parser->registerInstance("ext", external.get()), 1);
    kuRef<kxTransform> other = new kxTransform;
    EXPECT_EQ(parser->registerInstance("ext", other.get()), -32767);
    ASSERT_EQ(parse(R"(<kestrix>
  <Transform name="ext"><setPosition x="1" y="2" z="3"/><addChild>inner</addChild></Transform>
  <Transform name="inner"><addChild node="ext"/></Transform>
  <Window name="ext"/>
</kestrix>)"),
              1);
    EXPECT_EQ(external->getPosition(), kuVec3d(1, 2, 3));
    ASSERT_EQ(external->getNumChildren(), 1);
    kuRef<ksNode> inner = external->getChild(0);
    // Only "inner" was made here; the loop back to "ext" and the clashing Window are refused.
    ASSERT_EQ(parser->getInstances().size(), 1u);
    EXPECT_EQ(parser->getInstances()[0].get(), inner.get());
    EXPECT_EQ(inner->getNumChildren(), 0);
    EXPECT_EQ(capture.countContaining("test.xml:3:27: Transform \"inner\" addChild: not applied"),
              1);
    EXPECT_EQ(capture.countContaining("test.xml:4:3: Window: \"ext\" already names a kxTransform"),
              1);
    const int held = inner->getRef();
    parser->clear();
    EXPECT_EQ(inner->getRef(), held - 2); // the created list and the name
    EXPECT_EQ(parser->findInstance("inner"), nullptr);
    EXPECT_EQ(parser->findInstance("ext"), nullptr);
}

// The configuration is hooked into the kernel: its shutdown releases what files made (and each
// test's start-up binds the runtime's keywords again).
TEST_F(ConfigParserTest, KernelShutdownReleasesWhatFilesMade) {
    ASSERT_EQ(parse(R"(<kestrix><Probe name="made"/></kestrix>)"), 1);
    kuRef<Probe> made = find<Probe>("made");
    ASSERT_TRUE(made);
    const int held = made->getRef();
    kxKernel::shutdown();
    EXPECT_EQ(made->getRef(), held - 2); // the created list and the name
}

// Counts, as user data, the deletion of the object it is attached to.
class ReleaseCounter : public kuMemBase {
public:
    explicit ReleaseCounter(int* released) : m_released(released) {}

protected:
    ~ReleaseCounter() override { ++*m_released; }

private:
    int* m_released;
};

// Strategies, look-at nodes, children and attachments are counted references: a file that
// closes a loop of them would make objects that are never released. The property closing the
// loop is refused, and clear() releases every object the file made.
TEST_F(ConfigParserTest, LoopsOfReferencesAreRefusedAndEverythingIsReleased) {
    struct Case {
        const char* name;
        const char* elements;
        const char* refused; // "line:column: subject" of the one property refused
    };
    const Case cases[] = {
        {"aims at itself through a look-at keyword",
         "<LookAtStrategy name=\"aim\"><setNode>a</setNode></LookAtStrategy>\n"
         "<Transform name=\"a\"><setStrategy>aim</setStrategy></Transform>",
         "3:21: Transform \"a\" setStrategy"},
        {"look-at node set after the strategy",
         "<Transform name=\"a\"><setStrategy>aim</setStrategy></Transform>\n"
         "<LookAtStrategy name=\"aim\"><setNode>a</setNode></LookAtStrategy>",
         "3:28: LookAtStrategy \"aim\" setNode"},
        {"child aims at its parent",
         "<Transform name=\"a\"><addChild>b</addChild></Transform>\n"
         "<Transform name=\"b\"><setLookAt>a</setLookAt></Transform>",
         "3:21: Transform \"b\" setLookAt"},
        {"parent adopts the node aiming at it",
         "<Transform name=\"b\"><setLookAt>a</setLookAt></Transform>\n"
         "<Transform name=\"a\"><addChild>b</addChild></Transform>",
         "3:21: Transform \"a\" addChild"},
        {"two nodes aim at each other",
         "<Transform name=\"a\"><setLookAt>b</setLookAt></Transform>\n"
         "<Transform name=\"b\"><setLookAt>a</setLookAt></Transform>",
         "3:21: Transform \"b\" setLookAt"},
        {"a shared look-at aims above another of its targets",
         "<LookAtStrategy name=\"aim\"/>\n"
         "<Transform name=\"x\"><setStrategy>aim</setStrategy></Transform>\n"
         "<Transform name=\"p\"><addChild>x</addChild></Transform>\n"
         "<Transform name=\"y\"><setStrategy>aim</setStrategy><setLookAt>p</setLookAt></Transform>",
         "5:51: Transform \"y\" setLookAt"},
        {"motion leads back through a node",
         "<LookAtStrategy name=\"l1\"><setNode>t</setNode></LookAtStrategy>\n"
         "<Transform name=\"t\"><setStrategy>l2</setStrategy></Transform>\n"
         "<LookAtStrategy name=\"l2\"><setMotion>l1</setMotion></LookAtStrategy>",
         "4:27: LookAtStrategy \"l2\" setMotion"},
        {"observer attached to itself",
         "<Observer name=\"o\"><addAttachment>o</addAttachment></Observer>",
         "2:20: Observer \"o\" addAttachment"},
        {"observers attached to each other",
         "<Observer name=\"o\"><addAttachment>p</addAttachment></Observer>\n"
         "<Observer name=\"p\"><addAttachment>o</addAttachment></Observer>",
         "3:20: Observer \"p\" addAttachment"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        capture.clear();
        ASSERT_EQ(parse(std::string("<kestrix>\n") + c.elements + "\n</kestrix>"), 1);
        EXPECT_EQ(parser->getNumErrors(), 1);
        EXPECT_EQ(capture.countContaining(std::string("test.xml:") + c.refused + ": not applied"),
                  1);
        int released = 0;
        const std::size_t made = parser->getInstances().size();
        ASSERT_GT(made, 0u);
        for (const kuRef<kuBase>& object : parser->getInstances())
            object->getUserDataList(true)->add(new ReleaseCounter(&released));
        parser->clear();
        EXPECT_EQ(released, static_cast<int>(made));
    }
}

TEST_F(ConfigParserTest, KeywordsCanBeReboundAndClassesNeedACreator) {
    ASSERT_EQ(parser->addConfigurableProp("Probe", "set", kcArgDefinitions(), recordValue), 1);
    EXPECT_TRUE(parser->isConfigurableProp("Probe", "set"));
    ASSERT_EQ(parser->addConfigurableClass("Probe", Probe::s_type), 1);
    EXPECT_TRUE(parser->isConfigurableProp("Probe", "set")); // same class: properties kept
    ASSERT_EQ(parser->addConfigurableClass("Probe", kxScene::getStaticClassType()), 1);
    EXPECT_FALSE(parser->isConfigurableProp("Probe", "set")); // another class: dropped
    EXPECT_EQ(parser->addConfigurableClass("Module", Probe::s_type), -32767);
    EXPECT_EQ(parser->addConfigurableProp("Nothing", "set", kcArgDefinitions(), recordValue),
              -32767);
    // kxScene's class type has no creation functor of its own.
    ASSERT_EQ(parse("<kestrix>\n<Probe name=\"s\"/></kestrix>"), 1);
    EXPECT_EQ(parser->findInstance("s"), nullptr);
    EXPECT_EQ(capture.countContaining("test.xml:2:1: Probe: cannot create a kxScene"), 1);
}

TEST_F(ConfigParserTest, ModuleElementsLoadModulesBeforeInstancesAreMade) {
    ASSERT_EQ(parse(R"(<kestrix>
  <Module name="kxcoordsys"/>
  <Module name="kxnosuchmodule"/>
</kestrix>)"),
              1);
    ASSERT_NE(kxModule::find("kxcoordsys"), nullptr);
    EXPECT_EQ(capture.countContaining("test.xml:3:3: cannot load module \"kxnosuchmodule\""), 1);
    kuBase::ClassType* flatEarth = kuBase::ClassType::find("kxCoordConverterFlatEarth");
    ASSERT_NE(flatEarth, nullptr);
    ASSERT_EQ(parser->addConfigurableClass("FlatEarth", flatEarth), 1);
    ASSERT_EQ(parse(R"(<kestrix>
  <Scene name="scene"><setCoordConverter>earth</setCoordConverter></Scene>
  <FlatEarth name="earth"/>
  <Module name="kxcoordsys"/>
</kestrix>)"),
              1);
    EXPECT_EQ(parser->getNumErrors(), 0);
    ASSERT_NE(find<kxScene>("scene"), nullptr);
    EXPECT_EQ(find<kxScene>("scene")->getCoordConverter(), find<kxCoordConverter>("earth"));
}

TEST_F(ConfigParserTest, RuntimeKeywordsBuildAScene) {
    ASSERT_EQ(parse(R"(<kestrix>
  <Window name="win"><setSize width="800" height="600"/><setOrigin x="10" y="20"/>
    <addChannel>chan</addChannel></Window>
  <Channel name="chan"><setDrawArea left="0" right="0.5" bottom="0" top="1"/>
    <setProjection fovx="50" fovy="40" near="0.5" far="3000"/>
    <setGraphicsModes>lighting|sensor</setGraphicsModes><setCullMask mask="0xff"/>
    <setClearColor r="0.1" g="0.2" b="0.3" a="1"/></Channel>
  <Observer name="eye"><setScene>world</setScene><addChannel>chan</addChannel>
    <setPosition x="0" y="-50" z="10"/><setOrientation h="0" p="-10" r="0"/></Observer>
  <Scene name="world"><addChild>ground</addChild><addChild>car</addChild></Scene>
  <Terrain name="ground"><setSeed>7</setSeed><setSize>400</setSize><setResolution>8</setResolution>
    <setAmplitude>0</setAmplitude></Terrain>
  <Transform name="car"><setPosition x="5" y="0" z="0"/><addChild>body</addChild></Transform>
  <Box name="body"><setSize width="2" length="4" height="1.5"/><setColor r="1" g="0" b="0" a="1"/></Box>
  <Terrain name="broken"><setResolution>0</setResolution></Terrain>
</kestrix>)"),
              1);
    auto* window = find<ksWindow>("win");
    auto* channel = find<ksChannel>("chan");
    auto* observer = find<kxObserver>("eye");
    auto* scene = find<kxScene>("world");
    auto* terrain = find<kxTerrain>("ground");
    ASSERT_TRUE(window && channel && observer && scene && terrain);
    int w = 0, h = 0;
    window->getSize(w, h);
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 600);
    EXPECT_EQ(channel->getWindow(), window);
    int vx = 0, vy = 0, vw = 0, vh = 0;
    channel->getViewport(vx, vy, vw, vh);
    EXPECT_EQ(vw, 400);
    double fovX = 0, fovY = 0, nearClip = 0, farClip = 0;
    channel->getProjection(fovX, fovY, nearClip, farClip);
    EXPECT_EQ(kuVec4d(fovX, fovY, nearClip, farClip), kuVec4d(50, 40, 0.5, 3000));
    EXPECT_EQ(channel->getGraphicsModes(), ksChannel::MODE_LIGHTING | ksChannel::MODE_SENSOR);
    EXPECT_EQ(channel->getCullMask(), 0xffu);
    EXPECT_FLOAT_EQ(channel->getClearColor()[2], 0.3f);
    EXPECT_EQ(observer->getScene(), scene);
    EXPECT_TRUE(observer->hasChannel(channel));
    EXPECT_EQ(observer->getPosition(), kuVec3d(0, -50, 10));
    EXPECT_EQ(observer->getOrientation(), kuVec3d(0, -10, 0));
    ASSERT_EQ(scene->getRoot()->getNumChildren(), 2);
    // The terrain was built after all its settings were in: 8 x 8 cells of 50 units.
    ASSERT_NE(terrain->getGeometry(0), nullptr);
    EXPECT_EQ(terrain->getGeometry(0)->getVertices().size(), 81u);
    EXPECT_EQ(terrain->getGeometry(0)->getVertices().front(), kuVec3f(-200, -200, 0));
    auto* car = find<kxTransform>("car");
    ASSERT_EQ(car->getNumChildren(), 1);
    EXPECT_EQ(car->getChild(0), find<kxBox>("body"));
    EXPECT_EQ(capture.countContaining("test.xml:15:3: Terrain \"broken\": not completed"), 1);
    EXPECT_EQ(parser->getNumErrors(), 1);
    runFrames(2);
    EXPECT_EQ(kxKernel::instance()->getFrameNumber(), 2);
}

// Each triangle's winding must face away from the shape's centre.
TEST(ShapeTest, BoxesAndPlanesFaceOutward) {
    ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
    {
        kuRef<kxBox> box = new kxBox;
        EXPECT_EQ(box->setSize(2, 4, 0), -32767);
        ASSERT_EQ(box->setSize(2, 4, 6), 1);
        kuRef<kxPlane> plane = new kxPlane;
        ASSERT_EQ(plane->setSize(10, 20), 1);
        struct Case {
            ksGeometry* node;
            kuVec3f center, low, high;
            std::size_t triangles;
        };
        const Case cases[] = {
            {box.get(), {0, 0, 3}, {-1, -2, 0}, {1, 2, 6}, 12},
            {plane.get(), {0, 0, -1}, {-5, -10, 0}, {5, 10, 0}, 2},
        };
        for (const Case& c : cases) {
            const krGeometry* geometry = c.node->getGeometry(0);
            ASSERT_NE(geometry, nullptr);
            const std::vector<unsigned int> triangles = geometry->getTriangleIndices();
            ASSERT_EQ(triangles.size(), 3 * c.triangles);
            const auto& v = geometry->getVertices();
            for (std::size_t t = 0; t < triangles.size(); t += 3) {
                const kuVec3f a = v[triangles[t]], b = v[triangles[t + 1]], d = v[triangles[t + 2]];
                const kuVec3f normal = (b - a).cross(d - a);
                EXPECT_GT(normal.dot((a + b + d) * (1.0f / 3) - c.center), 0) << t;
                for (const kuVec3f& p : {a, b, d})
                    for (int axis = 0; axis < 3; ++axis) {
                        EXPECT_GE(p[axis], c.low[axis]);
                        EXPECT_LE(p[axis], c.high[axis]);
                    }
            }
        }
    }
    kxKernel::shutdown();
}

// Hand-worked places at 10 frames per second (frame n is at time (n - 1) / 10 s).
TEST_F(ConfigParserTest, StrategiesMoveTheirTargetsOverFrames) {
    ASSERT_EQ(parse(R"(<kestrix>
  <PathStrategy name="once"><addWaypoint x="0" y="0" z="0"/><addWaypoint x="10" y="0" z="0"/>
    <addWaypoint x="10" y="10" z="0"/><setSpeed>5</setSpeed></PathStrategy>
  <PathStrategy name="round"><addWaypoint x="0" y="0" z="0"/><addWaypoint x="10" y="0" z="0"/>
    <addWaypoint x="10" y="10" z="0"/><setSpeed>5</setSpeed><setLoop>true</setLoop></PathStrategy>
  <OrbitStrategy name="orbit"><setCenter x="10" y="20" z="1"/><setRadius>5</setRadius>
    <setAngularSpeed>90</setAngularSpeed><setHeight>2</setHeight></OrbitStrategy>
  <PathStrategy name="drive"><addWaypoint x="0" y="-10" z="0"/><addWaypoint x="0" y="10" z="0"/>
    <setSpeed>10</setSpeed></PathStrategy>
  <Transform name="a"><setOrientation h="0" p="5" r="0"/><setStrategy>once</setStrategy></Transform>
  <Transform name="b"><setStrategy>round</setStrategy></Transform>
  <Transform name="c"><setStrategy>orbit</setStrategy></Transform>
  <Transform name="target"><setPosition x="10" y="0" z="0"/></Transform>
  <Observer name="eye"><setStrategy>drive</setStrategy><setLookAt>target</setLookAt></Observer>
  <Transform name="d"><setLookAt>target</setLookAt><setStrategy strategy="drive2"/></Transform>
  <PathStrategy name="drive2"><addWaypoint x="0" y="-10" z="0"/><addWaypoint x="0" y="10" z="0"/>
    <setSpeed>10</setSpeed></PathStrategy>
</kestrix>)"),
              1);
    ASSERT_EQ(parser->getNumErrors(), 0);
    kxPositionable* a = find<kxTransform>("a");
    kxPositionable* b = find<kxTransform>("b");
    kxPositionable* c = find<kxTransform>("c");
    kxPositionable* d = find<kxTransform>("d");
    kxPositionable* eye = find<kxObserver>("eye");
    const double r = 5 / std::sqrt(2.0);
    struct Expect {
        int frame;
        kxPositionable* target;
        kuVec3d position;
        double heading, pitch;
    };
    const Expect expects[] = {
        {1, a, {0, 0, 0}, -90, 5},    {3, a, {1, 0, 0}, -90, 5},
        {31, a, {10, 5, 0}, 0, 5},    {51, a, {10, 10, 0}, 0, 5},
        {31, b, {10, 5, 0}, 0, 0},    {51, b, {10 - r, 10 - r, 0}, 135, 0},
        {1, c, {15, 20, 3}, 0, 0},    {11, c, {10, 25, 3}, 90, 0},
        {21, c, {5, 20, 3}, 180, 0},  {1, eye, {0, -10, 0}, -45, 0},
        {11, eye, {0, 0, 0}, -90, 0}, {11, d, {0, 0, 0}, -90, 0},
    };
    kxKernel::instance()->setFrameRate(10);
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    for (int frame = 1; frame <= 51; ++frame) {
        ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
        for (const Expect& e : expects) {
            if (e.frame != frame)
                continue;
            SCOPED_TRACE(::testing::Message() << "frame " << frame);
            const kuVec3d& p = e.target->getPosition();
            EXPECT_NEAR((p - e.position).length(), 0, 1e-9);
            const double turn = std::remainder(e.target->getOrientation().x - e.heading, 360.0);
            EXPECT_NEAR(turn, 0, 1e-9);
            EXPECT_NEAR(e.target->getOrientation().y, e.pitch, 1e-9);
        }
    }
    // The transform's node matrix follows the strategy.
    EXPECT_NEAR((find<kxTransform>("c")->getMatrix().getTrans() - kuVec3d(10, 25, 3)).length(), 0,
                1e-9);
    // Disabled, a strategy leaves its target alone.
    find<kxTransform>("c")->setStrategyEnable(false);
    ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
    EXPECT_NEAR((c->getPosition() - kuVec3d(10, 25, 3)).length(), 0, 1e-9);
}

TEST_F(ConfigParserTest, LookAtAimsUpAndDownAndRefusesLoops) {
    double heading = 0, pitch = 0;
    ASSERT_TRUE(kxLookAtStrategy::aim({0, 0, 0}, {10, 10, 10}, &heading, &pitch));
    EXPECT_NEAR(heading, -45, 1e-9);
    EXPECT_NEAR(pitch, std::atan(1 / std::sqrt(2.0)) * 180 / M_PI, 1e-9);
    EXPECT_FALSE(kxLookAtStrategy::aim({1, 2, 3}, {1, 2, 3}, &heading, &pitch));
    kuRef<kxLookAtStrategy> first = new kxLookAtStrategy, second = new kxLookAtStrategy;
    ASSERT_EQ(first->setMotion(second.get()), 1);
    EXPECT_EQ(second->setMotion(first.get()), -32767);
    EXPECT_EQ(first->setMotion(first.get()), -32767);
    first->setMotion(nullptr);
}

} // namespace
