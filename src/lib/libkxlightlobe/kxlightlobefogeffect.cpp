#include "kxlightlobefogeffect.h"

#include "kxlightlobechannelbinmgr.h"
#include "kxlightlobefogeffectprograms.h"

#include <kr/krGeometry.h>
#include <kr/krRenderElements.h>
#include <kr/krShaderProgram.h>
#include <kr/krState.h>
#include <ks/ksGeometry.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksTransform.h>
#include <ku/kuImageFactory.h>
#include <ku/kuMatrix.h>
#include <ku/kuNotify.h>
#include <ku/kuParameter.h>

#include <vector>

namespace {
kuBase::ClassType* s_classType = nullptr;

// The scale from the fog's density per unit of distance to the beam's density.
constexpr float FOG_DENSITY_SCALE = 5000.0f;
// Above this the beam is fully opaque where its texture is white.
constexpr float FULL_STRENGTH_DENSITY = 100.0f;

void setMeshColor(krGeometry* geometry, const kuVec4f& color) {
    geometry->setColors(std::vector<kuVec4f>(1, color), krGeometry::BIND_OVERALL);
}
} // namespace

kxLightLobeFogEffect::kxLightLobeFogEffect()
    : m_beamTransform(new ksTransform(nullptr)), m_beamGeometryNode(new ksGeometry(nullptr)) {
    m_beamTransform->setName("Fog Effect Transform");
    m_beamGeometryNode->setName("Fog Effect ksGeom");
    m_meshes[0].geometry = new krGeometry;
    m_meshes[0].geometry->setName("Fog Effect Geometry");
    m_beamGeometryNode->setGeometry(m_meshes[0].geometry.get(), 0);
    m_fogEffectBinId = kxLightLobeChannelBinMgr::instance()->getFogEffectBinId();
    m_beamGeometryNode->setChannelBinId(m_fogEffectBinId, 0);
    registerInstance(s_classType);
}

kxLightLobeFogEffect::~kxLightLobeFogEffect() {
    m_beamTransform.reset();
    m_beamGeometryNode.reset();
    for (Mesh& mesh : m_meshes)
        mesh.geometry.reset();
    m_texture.reset();
    m_textureState.reset();
    unregisterInstance(s_classType);
}

kxLightLobeFogEffect* kxLightLobeFogEffect::create() {
    return new kxLightLobeFogEffect;
}

int kxLightLobeFogEffect::initializeClass() {
    return kxClassRegistry::createClassType(
        s_classType, "kxLightLobeFogEffect", kuBase::getStaticClassType(), "kuBase",
        []() -> kuBase* { return create(); }, true, false);
}

int kxLightLobeFogEffect::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return 1;
}

void kxLightLobeFogEffect::setEnable(bool enable) {
    m_enable = enable;
    applyMasks();
    if (m_colorPending)
        m_colorPending = !handOverColor();
}

void kxLightLobeFogEffect::applyMasks() {
    const bool shown = m_enable && m_texture;
    m_beamTransform->setRenderMask(shown ? 0xFFFFFFFFu : 0u);
    m_beamTransform->setCullMask(shown ? 0xFFFFFFFFu : 0u);
    m_beamTransform->setIsectMask(0u);
}

void kxLightLobeFogEffect::setColor(float r, float g, float b, float a) {
    m_color = kuVec4f(r, g, b, a);
    if (m_configured)
        m_colorPending = !handOverColor();
}

bool kxLightLobeFogEffect::handOverColor() {
    krGeometry* current = m_meshes[m_currentMesh].geometry.get();
    if (current->getColors().size() == 1 && current->getColors()[0] == m_color)
        return true;
    const int frame = ksThread::resolveFrameNumber();
    int oldest = -1;
    for (int i = 0; i < NUM_MESHES; ++i)
        if (i != m_currentMesh &&
            (oldest < 0 || m_meshes[i].retiredAt < m_meshes[oldest].retiredAt))
            oldest = i;
    // Frames up to the one a copy was retired in may still be culled or drawn with it.
    if (m_meshes[oldest].retiredAt > frame - kuPipeline::NUM_FRAME_SLOTS)
        return false;
    setMeshColor(m_meshes[oldest].geometry.get(), m_color);
    m_meshes[m_currentMesh].retiredAt = frame;
    m_currentMesh = oldest;
    m_beamGeometryNode->setGeometry(m_meshes[oldest].geometry.get(), 0);
    return true;
}

void kxLightLobeFogEffect::getColor(float* r, float* g, float* b, float* a) const {
    if (r)
        *r = m_color.x;
    if (g)
        *g = m_color.y;
    if (b)
        *b = m_color.z;
    if (a)
        *a = m_color.w;
}

void kxLightLobeFogEffect::applyTransform() {
    kuMatrixd scale, rotate, translate;
    scale.makeScale(m_appliedScale.x, m_appliedScale.y, m_appliedScale.z);
    rotate.makeRotate(m_rotation.x, m_rotation.y, m_rotation.z);
    translate.makeTranslate(m_translation.x, m_translation.y, m_translation.z);
    // Row vectors: a mesh point is scaled, then turned, then moved.
    m_beamTransform->setMatrix(scale * rotate * translate);
}

void kxLightLobeFogEffect::setTranslationOffset(double x, double y, double z) {
    m_translation = kuVec3d(x, y, z);
    applyTransform();
}

void kxLightLobeFogEffect::getTranslationOffset(double* x, double* y, double* z) const {
    *x = m_translation.x, *y = m_translation.y, *z = m_translation.z;
}

void kxLightLobeFogEffect::setRotationOffset(double h, double p, double r) {
    m_rotation = kuVec3d(h, p, r);
    applyTransform();
}

void kxLightLobeFogEffect::getRotationOffset(double* h, double* p, double* r) const {
    *h = m_rotation.x, *p = m_rotation.y, *r = m_rotation.z;
}

void kxLightLobeFogEffect::setScale(double x, double y, double z) {
    m_scale = kuVec3d(x, y, z);
    m_appliedScale = m_scale;
    applyTransform();
}

void kxLightLobeFogEffect::getScale(double* x, double* y, double* z) const {
    *x = m_scale.x, *y = m_scale.y, *z = m_scale.z;
}

void kxLightLobeFogEffect::setTextureFile(const char* name) {
    if (m_configured)
        return;
    m_textureFile = name;
    kuRef<kuImage> image = name ? kuImageFactory::read(name) : nullptr;
    if (!image) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeFogEffect::setTextureFile: can't load image, check texture "
                        "name and path.  Fog effect may not function!");
        return;
    }
    const int format = krTexture::getFormatForComponents(image->getComponents());
    if (format < 0) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeFogEffect::setTextureFile: unsupported texture format.  Fog "
                        "effect will not function!");
        return;
    }
    m_texture = new krTexture;
    m_texture->setName("Fog Effect Texture");
    m_texture->setDimensions(image->getWidth(), image->getHeight(), 0);
    m_texture->setFormat(format, krTexture::TYPE_UNSIGNED_BYTE);
    m_texture->setMinFilter(krTexture::FILTER_LINEAR, krTexture::MIPMAP_AUTO);
    m_texture->setWrap(krTexture::WRAP_CLAMP_TO_BORDER, krTexture::WRAP_CLAMP_TO_BORDER,
                       krTexture::WRAP_REPEAT);
    m_texture->setImageLevel(0, image->getPixels());
}

void kxLightLobeFogEffect::setTexture(krTexture* texture, const char* fileName) {
    m_texture = texture;
    if (fileName)
        m_textureFile = fileName;
    if (m_textureState)
        m_textureState->setTexture(texture);
}

int kxLightLobeFogEffect::configure() {
    if (m_configured)
        return 1;
    if (!m_texture) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeFogEffect::configure: cannot configure without a texture. Fog "
                        "effect will not function!");
        return -32767;
    }
    setUpGeometry();
    m_configured = true;
    return 1;
}

int kxLightLobeFogEffect::configure(ksNode* parent) {
    const int result = configure();
    if (parent && m_beamTransform->getNumParents() == 0)
        parent->addChild(m_beamTransform.get());
    return result;
}

void kxLightLobeFogEffect::setUpGeometry() {
    // Band i runs from pitch 90 - 22.5 i down to 90 - 22.5 (i + 1); each strip crosses the
    // headings -90 to 90, so the half sphere faces +y with the texture's centre on that axis.
    const float step = 180.0f / NUM_BANDS;
    std::vector<kuVec3f> vertices;
    std::vector<kuVec2f> texCoords;
    vertices.reserve(NUM_VERTICES);
    texCoords.reserve(NUM_VERTICES);
    const kuVec3f forward(0.0f, RADIUS, 0.0f);
    for (int i = 0; i < NUM_BANDS; ++i) {
        const float pitch = 90.0f - step * i;
        for (int j = 0; j <= NUM_BANDS; ++j) {
            const float heading = -90.0f + step * j;
            kuMatrixf rotation;
            rotation.makeRotate(heading, pitch, 0.0f);
            vertices.push_back(rotation.transformPoint(forward));
            texCoords.emplace_back(float(j) / NUM_BANDS, float(NUM_BANDS - i) / NUM_BANDS);
            rotation.makeRotate(heading, pitch - step, 0.0f);
            vertices.push_back(rotation.transformPoint(forward));
            texCoords.emplace_back(float(j) / NUM_BANDS, float(NUM_BANDS - 1 - i) / NUM_BANDS);
        }
    }
    // One copy per frame in flight and as many spare; the node draws the first.
    for (int k = 0; k < NUM_MESHES; ++k) {
        if (!m_meshes[k].geometry) {
            m_meshes[k].geometry = new krGeometry;
            m_meshes[k].geometry->setName("Fog Effect Geometry");
        }
        krGeometry* mesh = m_meshes[k].geometry.get();
        mesh->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLE_STRIP);
        mesh->setPrimitiveLengths(std::vector<int>(NUM_BANDS, 2 * NUM_BANDS + 2));
        mesh->setVertices(vertices);
        mesh->setTexCoords(texCoords);
        setMeshColor(mesh, m_color);
    }
    m_currentMesh = 0;
    m_colorPending = false;
    m_beamGeometryNode->setGeometry(m_meshes[0].geometry.get(), 0);

    // The state inherits what it does not set: a state that resets the rest would reset the
    // record's model-view matrix too. Unlit, so the beam's colour is its own.
    m_state = new krState(true);
    m_state->setName("Fog Effect State");
    m_state->setElement(krLighting::Element(false));
    m_state->setElement(krAlphaBlend::Element(true, 4, 5));
    // Back faces culled: each line of sight crosses the beam's shell once, so the beam is
    // blended once whichever side it is seen from.
    m_state->setElement(krPolygon::Element(false, true, krPolygon::MODE_FILL));
    m_textureState = new krTexture::State;
    m_textureState->setEnable(true);
    m_textureState->setTexture(m_texture.get());
    krTexture::Element textures;
    textures.appendState(m_textureState.get());
    m_state->setElement(textures);
    // The beam's own programs; a stage that does not read leaves the program without it, and
    // no program at all leaves the beam to the fixed-function pipeline.
    kuRef<krShaderProgram> program = kxLightLobeFogEffectPrograms::createProgram();
    if (program) {
        krShaderProgram::Element programElement;
        programElement.setEnable(true);
        programElement.setProgram(program.get());
        m_state->setElement(programElement);
    }
    m_beamGeometryNode->setState(m_state.get(), 0);
    m_beamTransform->addChild(m_beamGeometryNode.get());
}

ksNode* kxLightLobeFogEffect::getRootNode() const {
    return m_beamTransform.get();
}

krGeometry* kxLightLobeFogEffect::getGeometry() const {
    return m_meshes[m_currentMesh].geometry.get();
}

bool kxLightLobeFogEffect::getStrength(float fogDensity, float* alpha) const {
    const float density = fogDensity * FOG_DENSITY_SCALE * m_brightness;
    const bool shows = m_minVisibilityDensity < density;
    if (shows && alpha)
        *alpha = density > FULL_STRENGTH_DENSITY ? 1.0f : density;
    return shows;
}

void kxLightLobeFogEffect::updateFromFog(float fogDensity, float r, float g, float b) {
    float alpha = 0.0f;
    const bool shows = getStrength(fogDensity, &alpha);
    if (shows != m_enable)
        setEnable(shows);
    if (shows)
        setColor(r, g, b, alpha);
}

float kxLightLobeFogEffect::getEnvironmentFogDensity() {
    kuParameter* parameter = kuParameter::find("kxEnv_FogParameters");
    float values[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    if (!parameter || parameter->getFloats(values) != 1)
        return 0.0f;
    return values[1];
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobeFogEffect)
