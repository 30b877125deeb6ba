#include <ku/kuParameter.h>

#include <ku/kuNotify.h>

#include <cmath>
#include <map>
#include <mutex>
#include <string>

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, kuRef<kuParameter>> parameters;
};

Registry& registry() {
    static Registry s_registry;
    return s_registry;
}

bool isKnownType(int type) {
    return type >= kuParameter::TYPE_BOOL && type <= kuParameter::TYPE_FLOAT4;
}

} // namespace

kuParameter::kuParameter(const char* name, int type) : m_name(name), m_type(type) {}
kuParameter::~kuParameter() = default;

kuParameter* kuParameter::find(const char* name) {
    if (!name)
        return nullptr;
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    auto it = r.parameters.find(name);
    return it != r.parameters.end() ? it->second.get() : nullptr;
}

kuParameter* kuParameter::create(const char* name, int type) {
    if (!name || !*name || !isKnownType(type)) {
        kuNotify::print(kuNotify::WARN, nullptr, "kuParameter::create - bad name or type %d", type);
        return nullptr;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    kuRef<kuParameter>& slot = r.parameters[name];
    if (!slot)
        slot = new kuParameter(name, type);
    else if (slot->m_type != type) {
        kuNotify::print(kuNotify::WARN, nullptr,
                        "kuParameter::create - \"%s\" exists with type %d, not %d", name,
                        slot->m_type, type);
        return nullptr;
    }
    return slot.get();
}

int kuParameter::getNum() {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    return static_cast<int>(r.parameters.size());
}

void kuParameter::clear() {
    // Released outside the registry lock: nothing a parameter's destructor does needs it, but a
    // holder's release should never wait on a look-up.
    std::map<std::string, kuRef<kuParameter>> released;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.mutex);
        released.swap(r.parameters);
    }
}

bool kuParameter::getBool() const {
    std::lock_guard<kuLock> guard(m_lock);
    return m_value[0] != 0.0;
}

int kuParameter::getInt() const {
    std::lock_guard<kuLock> guard(m_lock);
    return static_cast<int>(m_value[0]);
}

float kuParameter::getFloat() const {
    std::lock_guard<kuLock> guard(m_lock);
    return static_cast<float>(m_value[0]);
}

double kuParameter::getDouble() const {
    std::lock_guard<kuLock> guard(m_lock);
    return m_value[0];
}

int kuParameter::getFloats(float out[4]) const {
    if (!out)
        return KU_FAILURE;
    std::lock_guard<kuLock> guard(m_lock);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<float>(m_value[i]);
    return KU_SUCCESS;
}

int kuParameter::setScalar(double value) {
    switch (m_type) {
    case TYPE_BOOL:
        value = value != 0.0 ? 1.0 : 0.0;
        break;
    case TYPE_INT:
        value = std::trunc(value);
        break;
    case TYPE_FLOAT:
        value = static_cast<float>(value);
        break;
    case TYPE_DOUBLE:
        break;
    default:
        kuNotify::print(kuNotify::WARN, nullptr,
                        "kuParameter - \"%s\" holds four floats, not a scalar", m_name.c_str());
        return KU_FAILURE;
    }
    std::lock_guard<kuLock> guard(m_lock);
    m_value[0] = value;
    ++m_revision;
    return KU_SUCCESS;
}

int kuParameter::setBool(bool value) {
    return setScalar(value ? 1.0 : 0.0);
}
int kuParameter::setInt(int value) {
    return setScalar(value);
}
int kuParameter::setFloat(float value) {
    return setScalar(value);
}
int kuParameter::setDouble(double value) {
    return setScalar(value);
}

int kuParameter::setFloats(const float in[4]) {
    if (!in || m_type != TYPE_FLOAT4)
        return KU_FAILURE;
    std::lock_guard<kuLock> guard(m_lock);
    for (int i = 0; i < 4; ++i)
        m_value[i] = in[i];
    ++m_revision;
    return KU_SUCCESS;
}

unsigned int kuParameter::getRevision() const {
    std::lock_guard<kuLock> guard(m_lock);
    return m_revision;
}
