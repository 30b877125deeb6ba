// Drawing costs on the GL renderer in use (Mesa's llvmpipe on the build machines):
// - BM_MapCreation: the light map's map-creation pass of one channel (the draw processor of the
//   map-creation bin over its records, as the kernel calls it) for 1,000 lobes into a 512-texel
//   map, against a bare GL pass that draws the same strips with the same state, interleaved.
// - BM_NightFrame: a whole frame of kxrun's night scene at 1280x720, serial and pipelined, with
//   the heap allocations made while drawing it, drawn fixed-function and with the shader
//   infrastructure on (generated programs, no lobe technique), with the programs built per
//   frame after the first.
#include "defaultScene.h"

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>
#include <kxlightmap.h>

#include <kr/krDrawContext.h>
#include <kr/krShaderInfrastructure.h>
#include <kr/krShaderProgramCache.h>
#include <kr/krTransform.h>
#include <kr/krWindow.h>
#include <ks/ksChannelBin.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksThreadBuffer.h>
#include <ks/ksTraversal.h>
#include <ks/ksWindow.h>
#include <kx/kxChannel.h>
#include <kx/kxEnv.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxTerrain.h>

#include <GL/gl.h>
#include <GL/glext.h>
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

// Heap allocations (operator new) made while drawing. A thread that draws a channel and is not
// the application thread (pipelined: the window's draw thread) counts from the first channel it
// draws, whatever it does from then on: the kernel's window drawing, the hand-over between
// frames, the channels. On the application thread (serial) only a channel's drawing counts,
// from its first bin to its end. The GL driver's malloc calls are not counted; its shader
// compiler's C++ allocations are, when it compiles (not in a steady frame).
namespace {
std::atomic<long> g_drawAllocations{0};
thread_local bool t_drawThread = false;
thread_local bool t_inChannel = false;
const std::thread::id g_applicationThread = std::this_thread::get_id();
} // namespace

// Out of line, so that the compiler does not see free() meet a pointer from new.
__attribute__((noinline)) void* operator new(std::size_t size) {
    if (t_drawThread || t_inChannel)
        g_drawAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

double wallSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}
// Every thread of the process, the renderer's rasterizer threads included.
double processSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// One scene at a time lives in the runtime: the kernel draws every window there is, so a
// benchmark with another scene restarts the runtime.
struct World {
    virtual ~World() = default;
    std::string error; // empty when the world is ready to be measured
};

std::unique_ptr<World> s_world;
bool s_running = false;

void stopRuntime() {
    s_world.reset(); // the scene's objects go before the kernel does
    if (!s_running)
        return;
    if (kxKernel::instance()->isConfigured())
        kxKernel::instance()->unconfigure();
    kxKernel::shutdown();
    s_running = false;
}

bool startRuntime() {
    if (kxKernel::initialize(0, nullptr) != 1)
        return false;
    s_running = true;
    kxModule* module = nullptr;
    return kxModule::initializeModule("kxlightlobe") == 1 &&
           (module = kxModule::find("kxlightlobe")) != nullptr &&
           module->initialize(0, nullptr) == 1;
}

template <class W>
W* useWorld() {
    if (auto* world = dynamic_cast<W*>(s_world.get()))
        return world;
    stopRuntime();
    if (!startRuntime()) {
        s_world.reset(new World);
        s_world->error = "the runtime or the kxlightlobe module did not start";
        return nullptr;
    }
    auto* world = new W;
    s_world.reset(world);
    return world;
}

// ---- the map-creation pass ----

constexpr int NUM_LOBES = 1000;
constexpr int COLUMNS = 40, ROWS = 25;
constexpr int WIDTH = 1280, HEIGHT = 720;
constexpr int MAP_SIZE = 512; // RENDER_QUALITY_BEST
constexpr int STRIP_VERTICES = 8, STRIPS = 3, LOBE_VERTICES = STRIP_VERTICES * STRIPS;

// The GL state the module's pass draws its strips with, read back from OpenGL while it draws.
struct PassState {
    int viewport[4] = {};
    double projection[16] = {}, modelView[16] = {};
    GLint blendSource = 0, blendDestination = 0;
    bool blend = false, depthTest = false, lighting = false, fog = false, texture2D = false;
    GLint fogMode = 0, textureEnvMode = 0;
    float fogDensity = 0, fogStart = 0, fogEnd = 0, fogColor[4] = {};
    bool texGen[3] = {};
    GLint texGenMode[3] = {};
    float texGenPlane[3][4] = {};
    float baseLevel = 0; // the grey the map starts from
    GLuint mapTexture = 0;

    void readBeforeStrips() {
        glGetIntegerv(GL_VIEWPORT, viewport);
        glGetDoublev(GL_PROJECTION_MATRIX, projection);
        glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
        blend = glIsEnabled(GL_BLEND);
        glGetIntegerv(GL_BLEND_SRC_RGB, &blendSource);
        glGetIntegerv(GL_BLEND_DST_RGB, &blendDestination);
        depthTest = glIsEnabled(GL_DEPTH_TEST);
        lighting = glIsEnabled(GL_LIGHTING);
        fog = glIsEnabled(GL_FOG);
        glGetIntegerv(GL_FOG_MODE, &fogMode);
        glGetFloatv(GL_FOG_DENSITY, &fogDensity);
        glGetFloatv(GL_FOG_START, &fogStart);
        glGetFloatv(GL_FOG_END, &fogEnd);
        glGetFloatv(GL_FOG_COLOR, fogColor);
        static const GLenum coords[3] = {GL_S, GL_T, GL_R};
        static const GLenum caps[3] = {GL_TEXTURE_GEN_S, GL_TEXTURE_GEN_T, GL_TEXTURE_GEN_R};
        glActiveTexture(GL_TEXTURE0);
        for (int i = 0; i < 3; ++i) {
            texGen[i] = glIsEnabled(caps[i]);
            glGetTexGeniv(coords[i], GL_TEXTURE_GEN_MODE, &texGenMode[i]);
            glGetTexGenfv(coords[i],
                          texGenMode[i] == GL_EYE_LINEAR ? GL_EYE_PLANE : GL_OBJECT_PLANE,
                          texGenPlane[i]);
        }
    }
    // Texturing is set by the first record.
    void readAfterFirstStrips() {
        glActiveTexture(GL_TEXTURE0);
        texture2D = glIsEnabled(GL_TEXTURE_2D);
        glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &textureEnvMode);
    }
};

// 1,000 lobes 20 m above flat ground at night, seen from 600 m straight above through one
// 1280x720 channel, so that every footprint lies inside the map's view.
struct LobeField : World {
    kuRef<kxScene> scene = new kxScene;
    kuRef<kxTerrain> ground = new kxTerrain;
    kuRef<ksWindow> window = new ksWindow;
    kuRef<kxChannel> channel = new kxChannel;
    kuRef<kxEnv> env = new kxEnv;
    kuRef<kxObserver> observer = new kxObserver;
    std::vector<kuRef<kxLightLobe>> lobes;

    krDrawContext* context = nullptr;
    ksChannelBin* createBin = nullptr;
    ksChannelBin* renderBin = nullptr;
    // The records as the cull left them: the pass changes them (eye-relative vertices, texture
    // matrix), so each module pass starts from these.
    std::vector<kxLightLobe::CullRecord> culled;

    // The bare pass's copy of what the records draw: strips in the order the module draws
    // them, per lobe the texture object and texture matrix.
    PassState pass;
    std::vector<float> vertices, colors, textureMatrices;
    std::vector<GLuint> textures;
    std::vector<GLint> stripFirsts;
    std::vector<GLsizei> stripCounts;

    int lobesHit = 0, lobesInView = 0;
    double maxMapDifference = -1;
    std::string renderer;

    LobeField() {
        ground->setSize(2000);
        ground->setResolution(16);
        ground->setAmplitude(0);
        ground->build();
        scene->addChild(ground.get());
        for (int i = 0; i < NUM_LOBES; ++i) {
            kuRef<kxLightLobe> lobe = kxLightLobe::create();
            const int column = i % COLUMNS, row = i / COLUMNS;
            lobe->setPosition(15.0 * (column - (COLUMNS - 1) / 2.0),
                              14.0 * (row - (ROWS - 1) / 2.0), 20);
            lobe->setOrientation(37.0 * i, -80, 0);
            lobe->setSpreadAngle(30);
            scene->addChild(lobe.get());
            lobes.push_back(lobe);
        }
        window->setSize(WIDTH, HEIGHT);
        const double fovY = 2 * std::atan(std::tan(30 * M_PI / 180) * HEIGHT / WIDTH) * 180 / M_PI;
        channel->setProjection(60, fovY, 1, 5000);
        window->addChannel(channel.get());
        env->setTimeOfDay(0.5);
        env->addEffect(new kxEnvSun);
        env->addEffect(new kxEnvMoon);
        observer->setScene(scene.get());
        observer->addChannel(channel.get());
        observer->addAttachment(env.get());
        observer->setPosition(0, 0, 600);
        observer->setOrientation(0, -90, 0);
        kxLightLobeControl::instance()->setRenderQuality(kxLightLobeControl::RENDER_QUALITY_BEST);

        kxKernel* kernel = kxKernel::instance();
        kernel->configure();
        kernel->setThreadingMode(kxKernel::THREADING_SERIAL);
        // The probes are cast between frames: a few frames find every footprint and make
        // every texture.
        for (int i = 0; i < 6; ++i)
            kernel->runFrame();
        krWindow* renderWindow = window->getRenderWindow();
        if (!renderWindow || !renderWindow->makeCurrent()) {
            error = "no OpenGL context: " + window->getRenderError();
            return;
        }
        renderer = renderWindow->getRenderer();
        context = renderWindow->getDrawContext();
        for (const auto& lobe : lobes)
            lobesHit += lobe->getStaticDone();

        // The kernel's cull of the last frame again, kept: the kernel recycled its records
        // after drawing them.
        const int frame = ksThread::resolveFrameNumber();
        const int pipeline = window->getThreadBuffer()->getIndex();
        ksChannelBinMgr* bins = channel->getChannelBinMgr();
        bins->beginFrame(frame);
        ksTraversalCull traversal(channel.get(), bins, channel->getId(), pipeline, frame);
        traversal.traverse(scene->getRoot()->getClone(pipeline));
        for (ksChannelBin* bin : bins->getBins(frame))
            if (ksChannelProxy::BinProcessor* processor = bin->getDefinition().cullProcessor.get())
                processor->process(nullptr, bin->begin(), bin->end(), channel.get());
        createBin = bins->getBin(kxLightMap::getMapCreateBinID());
        renderBin = bins->getBin(kxLightMap::getMapRenderBinID());
        if (!createBin || !renderBin || createBin->size() != static_cast<std::size_t>(NUM_LOBES)) {
            error = "the map-creation bin holds " +
                    std::to_string(createBin ? createBin->size() : 0) + " records, not " +
                    std::to_string(NUM_LOBES);
            return;
        }
        for (ksCullRecord* record : *createBin)
            culled.push_back(*static_cast<kxLightLobe::CullRecord*>(record));

        copyStrips(frame);
        if (!error.empty())
            return;
        countLobesInView();
        compareMaps();
        if (maxMapDifference > 2)
            error = "the bare pass does not make the module's map (a texel differs by " +
                    std::to_string(maxMapDifference) + ")";
        if (const unsigned int glError = context->takeGLError())
            error = "OpenGL error " + std::to_string(glError) + " while setting up";
    }

    void restoreRecords() {
        ksCullRecord* const* record = createBin->begin();
        for (const kxLightLobe::CullRecord& original : culled)
            *static_cast<kxLightLobe::CullRecord*>(*record++) = original;
    }

    // What the kernel does at the start of a channel before its bins are drawn.
    void beginChannel() {
        int x = 0, y = 0, width = 0, height = 0;
        channel->getViewport(x, y, width, height);
        glViewport(x, y, width, height);
        context->reset();
        context->setInheritedState(channel->getState(0));
        context->setState(channel->getState(0));
        context->setElement(krTransform::ElementProjection(channel->getProjectionMatrix()), true);
        context->setElement(krTransform::ElementModelView(channel->getViewMatrix()), true);
    }

    // The processor's steps one by one (preRenderLobes, then per record transformCullRecord
    // and processDraw, then postRenderLobes), reading the GL state and the strips as drawn.
    void copyStrips(int frame) {
        kxLightMap* map = kxLightMap::instance();
        restoreRecords();
        beginChannel();
        {
            // As the map-creation bin's processor does: the pass's state is given back after it.
            krDrawContext::ScopedPush::Ids ids =
                krDrawContext::ScopedPush::allBut(KR_ELEMENT_LIGHT);
            ids.bits &= ~(1u << KR_ELEMENT_FOG);
            krDrawContext::ScopedPush mapPass(*context, ids, false, true, true);
            const float factor = map->preRenderLobes(channel.get(), context);
            if (factor <= 0) {
                error = "the light map refused the channel";
                return;
            }
            pass.readBeforeStrips();
            float intensity = 1;
            map->getLightIntensity(channel.get(), frame, &intensity);
            pass.baseLevel = kxLightMap::getBaseLevel(intensity);
            for (ksCullRecord* it : *createBin) {
                auto* record = static_cast<kxLightLobe::CullRecord*>(it);
                record->intensityScale = factor;
                map->transformCullRecord(channel.get(), record);
                record->processDraw(context);
                if (textures.empty())
                    pass.readAfterFirstStrips();
                GLint name = 0;
                glActiveTexture(GL_TEXTURE0);
                glGetIntegerv(GL_TEXTURE_BINDING_2D, &name);
                textures.push_back(static_cast<GLuint>(name));
                float matrix[16];
                glGetFloatv(GL_TEXTURE_MATRIX, matrix);
                textureMatrices.insert(textureMatrices.end(), matrix, matrix + 16);
                for (int row = 0; row < STRIPS; ++row) {
                    stripFirsts.push_back(static_cast<GLint>(vertices.size() / 3));
                    stripCounts.push_back(STRIP_VERTICES);
                    for (int column = 0; column < 4; ++column)
                        for (int k : {4 * row + column, 4 * row + column + 4}) {
                            const kuVec3d& v = record->vertices[k];
                            vertices.insert(vertices.end(),
                                            {static_cast<float>(v.x), static_cast<float>(v.y),
                                             static_cast<float>(v.z)});
                            const float g = record->vertexBrightness[k] * record->intensityScale;
                            colors.insert(colors.end(), {g, g, g});
                        }
                }
            }
            map->postRenderLobes(channel.get(), context);
        }
        pass.mapTexture = context->bindTexture(map->getMapTexture(channel.get()));
        endModulePass();
    }

    // After the pass the kernel draws the scene, then the map-render bin, which gives the
    // scene fog back the colour the pass brightened.
    void endModulePass() {
        renderBin->getDefinition().drawProcessor->process(context, renderBin->begin(),
                                                          renderBin->end(), channel.get());
        restoreRecords();
    }

    // Lobes whose 16 footprint vertices all project inside the map's view.
    void countLobesInView() {
        const double* p = pass.projection;
        const double* m = pass.modelView;
        for (int lobe = 0; lobe < NUM_LOBES; ++lobe) {
            bool inside = true;
            for (int v = 0; v < LOBE_VERTICES; ++v) {
                const float* x =
                    &vertices[(static_cast<std::size_t>(lobe) * LOBE_VERTICES + v) * 3];
                double eye[4], clip[4];
                for (int r = 0; r < 4; ++r)
                    eye[r] = m[r] * x[0] + m[4 + r] * x[1] + m[8 + r] * x[2] + m[12 + r];
                for (int r = 0; r < 4; ++r)
                    clip[r] =
                        p[r] * eye[0] + p[4 + r] * eye[1] + p[8 + r] * eye[2] + p[12 + r] * eye[3];
                inside = inside && clip[3] > 0 && std::fabs(clip[0]) <= clip[3] &&
                         std::fabs(clip[1]) <= clip[3];
            }
            lobesInView += inside;
        }
    }

    // The map texture, which is what the pass makes.
    std::vector<unsigned char> readMap() {
        std::vector<unsigned char> pixels(static_cast<std::size_t>(MAP_SIZE) * MAP_SIZE * 3);
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, pass.mapTexture);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
        return pixels;
    }

    // Both passes must make the same map for the comparison to mean anything.
    void compareMaps() {
        modulePass();
        const std::vector<unsigned char> module = readMap();
        barePass(false);
        const std::vector<unsigned char> bare = readMap();
        maxMapDifference = 0;
        for (std::size_t i = 0; i < module.size(); ++i)
            maxMapDifference = std::max(maxMapDifference, std::fabs(double(module[i]) - bare[i]));
    }

    struct Times {
        double wall, cpu;
    };

    Times modulePass() {
        restoreRecords();
        beginChannel();
        ksChannelProxy::BinProcessor* processor = createBin->getDefinition().drawProcessor.get();
        glFinish();
        const double wall = wallSeconds(), cpu = processSeconds();
        processor->process(context, createBin->begin(), createBin->end(), channel.get());
        glFinish();
        const Times times{wallSeconds() - wall, processSeconds() - cpu};
        endModulePass();
        return times;
    }

    // The same strips with the same state in plain GL: immediate mode as the module draws, or
    // client vertex arrays (one call per lobe).
    Times barePass(bool arrays) {
        beginChannel(); // the same GL state to start from
        glFinish();
        const double wall = wallSeconds(), cpu = processSeconds();
        const PassState& s = pass;
        glViewport(s.viewport[0], s.viewport[1], s.viewport[2], s.viewport[3]);
        glMatrixMode(GL_PROJECTION);
        glLoadMatrixd(s.projection);
        glMatrixMode(GL_MODELVIEW);
        glLoadMatrixd(s.modelView);
        glScissor(s.viewport[0], s.viewport[1], s.viewport[2], s.viewport[3]);
        glEnable(GL_SCISSOR_TEST);
        glClearColor(s.baseLevel, s.baseLevel, s.baseLevel, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        glDisable(GL_SCISSOR_TEST);
        s.depthTest ? glEnable(GL_DEPTH_TEST) : glDisable(GL_DEPTH_TEST);
        s.lighting ? glEnable(GL_LIGHTING) : glDisable(GL_LIGHTING);
        s.blend ? glEnable(GL_BLEND) : glDisable(GL_BLEND);
        glBlendFunc(static_cast<GLenum>(s.blendSource), static_cast<GLenum>(s.blendDestination));
        s.fog ? glEnable(GL_FOG) : glDisable(GL_FOG);
        glFogi(GL_FOG_MODE, s.fogMode);
        glFogf(GL_FOG_DENSITY, s.fogDensity);
        glFogf(GL_FOG_START, s.fogStart);
        glFogf(GL_FOG_END, s.fogEnd);
        glFogfv(GL_FOG_COLOR, s.fogColor);
        static const GLenum coords[3] = {GL_S, GL_T, GL_R};
        static const GLenum caps[3] = {GL_TEXTURE_GEN_S, GL_TEXTURE_GEN_T, GL_TEXTURE_GEN_R};
        glActiveTexture(GL_TEXTURE0);
        for (int i = 0; i < 3; ++i) {
            glTexGeni(coords[i], GL_TEXTURE_GEN_MODE, s.texGenMode[i]);
            glTexGenfv(coords[i], s.texGenMode[i] == GL_EYE_LINEAR ? GL_EYE_PLANE : GL_OBJECT_PLANE,
                       s.texGenPlane[i]);
            s.texGen[i] ? glEnable(caps[i]) : glDisable(caps[i]);
        }
        s.texture2D ? glEnable(GL_TEXTURE_2D) : glDisable(GL_TEXTURE_2D);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, s.textureEnvMode);
        if (arrays) {
            glEnableClientState(GL_VERTEX_ARRAY);
            glEnableClientState(GL_COLOR_ARRAY);
            glVertexPointer(3, GL_FLOAT, 0, vertices.data());
            glColorPointer(3, GL_FLOAT, 0, colors.data());
        }
        glMatrixMode(GL_TEXTURE);
        for (int lobe = 0; lobe < NUM_LOBES; ++lobe) {
            glBindTexture(GL_TEXTURE_2D, textures[lobe]);
            glLoadMatrixf(&textureMatrices[static_cast<std::size_t>(lobe) * 16]);
            if (arrays) {
                glMultiDrawArrays(GL_TRIANGLE_STRIP, &stripFirsts[lobe * STRIPS],
                                  &stripCounts[lobe * STRIPS], STRIPS);
                continue;
            }
            const std::size_t first = static_cast<std::size_t>(lobe) * LOBE_VERTICES * 3;
            const float* v = &vertices[first];
            const float* c = &colors[first];
            for (int strip = 0; strip < STRIPS; ++strip) {
                glBegin(GL_TRIANGLE_STRIP);
                for (int k = 0; k < STRIP_VERTICES; ++k, v += 3, c += 3) {
                    glColor3f(c[0], c[1], c[2]);
                    glVertex3f(v[0], v[1], v[2]);
                }
                glEnd();
            }
        }
        glMatrixMode(GL_MODELVIEW);
        if (arrays) {
            glDisableClientState(GL_VERTEX_ARRAY);
            glDisableClientState(GL_COLOR_ARRAY);
        }
        glBindTexture(GL_TEXTURE_2D, s.mapTexture);
        glCopyTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, s.viewport[0], s.viewport[1], MAP_SIZE,
                            MAP_SIZE);
        glFinish();
        return {wallSeconds() - wall, processSeconds() - cpu};
    }
};

// Interleaved: each iteration runs one bare pass, then one module pass, so both meet the same
// load from other processes. Iteration time: the module pass (wall clock, glFinish included).
// ratio_vs_bare: median over iterations of module time / bare time (target: at most 1.5);
// module_ms, bare_ms: medians; *_cpu_ms and cpu_ratio_vs_bare: the same in CPU time of the whole
// process, which preemption by other processes on a shared machine does not inflate.
void BM_MapCreation(benchmark::State& state) {
    LobeField* field = useWorld<LobeField>();
    if (!field || !field->error.empty()) {
        state.SkipWithError(s_world->error.c_str());
        return;
    }
    const bool arrays = state.range(0) != 0;
    std::vector<double> bare, module, bareCpu, moduleCpu, ratios, cpuRatios;
    for (auto _ : state) {
        const LobeField::Times b = field->barePass(arrays);
        const LobeField::Times m = field->modulePass();
        bare.push_back(b.wall);
        module.push_back(m.wall);
        bareCpu.push_back(b.cpu);
        moduleCpu.push_back(m.cpu);
        ratios.push_back(m.wall / b.wall);
        cpuRatios.push_back(m.cpu / b.cpu);
        state.SetIterationTime(m.wall);
    }
    if (const unsigned int glError = field->context->takeGLError()) {
        state.SkipWithError(("OpenGL error " + std::to_string(glError)).c_str());
        return;
    }
    state.SetLabel(field->renderer);
    state.SetItemsProcessed(state.iterations() * NUM_LOBES);
    state.counters["module_ms"] = 1e3 * median(module);
    state.counters["bare_ms"] = 1e3 * median(bare);
    state.counters["module_cpu_ms"] = 1e3 * median(moduleCpu);
    state.counters["bare_cpu_ms"] = 1e3 * median(bareCpu);
    state.counters["ratio_vs_bare"] = median(ratios);
    state.counters["cpu_ratio_vs_bare"] = median(cpuRatios);
    state.counters["lobes_hit"] = field->lobesHit;
    state.counters["lobes_in_view"] = field->lobesInView;
    state.counters["max_map_difference"] = field->maxMapDifference;
}

// ---- the night scene ----

// Counts the channel's drawn frames and the light maps made in them, on its draw thread, and
// marks where its drawing begins and ends for the allocation count.
struct DrawCounter : ksChannel::Subscriber {
    std::atomic<long> frames{0}, maps{0};
    void notify(int event, ksChannel* channel, krDrawContext*) override {
        if (event == ksChannel::EVENT_PRE_BINS) {
            t_inChannel = true;
            t_drawThread = t_drawThread || std::this_thread::get_id() != g_applicationThread;
            return;
        }
        t_inChannel = false;
        frames.fetch_add(1, std::memory_order_relaxed);
        maps.fetch_add(kxLightMap::isMapCreated(channel), std::memory_order_relaxed);
    }
};

struct NightDrive : World {
    kxRunDefaultScene scene;
    DrawCounter counter;
    ksChannel* channel = nullptr;
    int mode = -1;

    NightDrive() {
        if (scene.build(WIDTH, HEIGHT) != 1) {
            error = "the night scene was not built";
            return;
        }
        channel = ksWindow::get(0)->getChannel(0);
        channel->addSubscriber(ksChannel::EVENT_PRE_BINS, &counter);
        channel->addSubscriber(ksChannel::EVENT_POST_DRAW, &counter);
        kxKernel::instance()->configure();
    }
    ~NightDrive() override {
        if (channel) {
            channel->removeSubscriber(ksChannel::EVENT_PRE_BINS, &counter);
            channel->removeSubscriber(ksChannel::EVENT_POST_DRAW, &counter);
        }
        scene.release();
    }

    void setMode(int threading) {
        kxKernel* kernel = kxKernel::instance();
        kernel->finishFrames();
        kernel->setThreadingMode(threading);
        mode = threading;
        for (int i = 0; i < 30; ++i)
            kernel->runFrame();
        kernel->finishFrames();
    }
};

// Frames in steady state, timed in batches of FRAME_BATCH frames, so that pipelined the
// windows' threads draw a frame while the next one is updated; finishFrames ends each batch.
// The time per iteration is the time per frame; cpu_ms_per_frame: CPU time of every thread of
// the process per frame (the renderer's and the probes' threads included). drawn_share and
// maps_share: the frames the channel drew, and those with a light map, per frame run (1 when every
// frame was drawn). draw_allocs_per_frame: heap allocations while drawing (see operator new).
constexpr int FRAME_BATCH = 20;

void BM_NightFrame(benchmark::State& state) {
    NightDrive* night = useWorld<NightDrive>();
    if (!night || !night->error.empty()) {
        state.SkipWithError(s_world->error.c_str());
        return;
    }
    const int mode = static_cast<int>(state.range(0));
    if (night->mode != mode)
        night->setMode(mode);
    ksWindow* window = ksWindow::get(0);
    if (!window->getRenderWindow()) {
        state.SkipWithError(("no OpenGL context: " + window->getRenderError()).c_str());
        return;
    }
    kxKernel* kernel = kxKernel::instance();
    const bool shaders = state.range(1) != 0;
    if (krShaderInfrastructure::isEnabled() != shaders) {
        krShaderInfrastructure::instance()->setEnable(shaders);
        // The first frame builds the programs.
        kernel->runFrame();
        kernel->finishFrames();
    }
    const krShaderProgramCache& programs =
        window->getRenderWindow()->getDrawContext()->getShaderPrograms();
    const unsigned long long buildsBefore = programs.getNumBuilds();
    const long framesBefore = night->counter.frames.load(), mapsBefore = night->counter.maps.load();
    const double cpuBefore = processSeconds();
    const long allocationsBefore = g_drawAllocations.load();
    while (state.KeepRunningBatch(FRAME_BATCH)) {
        for (int i = 0; i < FRAME_BATCH; ++i)
            kernel->runFrame();
        kernel->finishFrames();
    }
    const double frames = static_cast<double>(state.iterations());
    state.counters["cpu_ms_per_frame"] = 1e3 * (processSeconds() - cpuBefore) / frames;
    state.counters["frames_per_second"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["drawn_share"] = double(night->counter.frames.load() - framesBefore) / frames;
    state.counters["maps_share"] = double(night->counter.maps.load() - mapsBefore) / frames;
    state.counters["draw_allocs_per_frame"] =
        double(g_drawAllocations.load() - allocationsBefore) / frames;
    state.counters["program_builds_per_frame"] =
        double(programs.getNumBuilds() - buildsBefore) / frames;
    state.counters["programs"] = double(programs.getNumBuilds());
}

} // namespace

BENCHMARK(BM_MapCreation)
    ->ArgName("bare_arrays")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->MinTime(1.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NightFrame)
    ->ArgNames({"pipelined", "shaders"})
    ->Args({kxKernel::THREADING_SERIAL, 0})
    ->Args({kxKernel::THREADING_SERIAL, 1})
    ->Args({kxKernel::THREADING_PIPELINED, 0})
    ->Args({kxKernel::THREADING_PIPELINED, 1})
    ->UseRealTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stopRuntime();
    return 0;
}
