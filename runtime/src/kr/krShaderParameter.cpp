#include <kr/krShaderParameter.h>

#include <kr/krDrawContext.h>
#include <ku/kuNotify.h>

#include <algorithm>
#include <atomic>

namespace {
// Ids are never used twice, so that a value a context keeps for a released parameter cannot
// pass for the value of a later one; tables grow by the parameters made, a few dozen a run.
std::atomic<int> g_nextId{0};
} // namespace

krShaderParameterBase::krShaderParameterBase(const char* name, int typeCode, int arraySize)
    : m_name(name), m_id(g_nextId++), m_typeCode(typeCode), m_arraySize(arraySize) {}

krShaderParameterBase::~krShaderParameterBase() = default;

int krShaderParameterBase::getNumFloats() const {
    return (m_typeCode == TYPE_FLOAT4X4 ? 16 : 4) * std::max(1, m_arraySize);
}

void krShaderParameterBase::setValues(krDrawContext* context, const float* values,
                                      int count) const {
    if (context)
        context->setUniformValue(m_id, values, count);
}

bool krShaderParameterBase::getValues(const krDrawContext* context, float* values,
                                      int count) const {
    return context && context->getUniformValue(m_id, values, count);
}

krShaderParameterBase* krShaderParameterBase::make(const char* name, int typeCode, int arraySize) {
    if (!name || arraySize < 0)
        return nullptr;
    switch (typeCode) {
    case TYPE_FLOAT4:
        return new krShaderParameter<krShaderLanguage::ArrayType4<float>>(name, typeCode,
                                                                          arraySize);
    case TYPE_FLOAT4X4:
        return new krShaderParameter<krShaderLanguage::ArrayType<float, 4, 4>>(name, typeCode,
                                                                               arraySize);
    default:
        kuNotify::print(5, nullptr, "krShaderParameterBase::make - unknown type code %d for %s",
                        typeCode, name);
        return nullptr;
    }
}

const char* krShaderParameterBase::getGlslType() const {
    return m_typeCode == TYPE_FLOAT4X4 ? "mat4" : "vec4";
}

const char* krShaderParameterBase::getCgType() const {
    return m_typeCode == TYPE_FLOAT4X4 ? "float4x4" : "float4";
}
