#include "kxlightlobefogeffectprograms.h"

#include <kr/krShaderFactory.h>
#include <ku/kuFile.h>

#include <cstdio>
#include <cstring>

const char* const kxLightLobeFogEffectPrograms::VERTEX_FILE_NAME = "kxLightLobeFogEffectVp.%s";
const char* const kxLightLobeFogEffectPrograms::FRAGMENT_FILE_NAME = "kxLightLobeFogEffectFp.%s";

const char* const kxLightLobeFogEffectPrograms::VERTEX_PROGRAM = R"(// Fog beam, vertex program.
struct appin {
    float3 normal : NORMAL;
    float4 position : POSITION;
    float4 color : COLOR0;
    float4 texcoord : TEXCOORD0;
};

struct vertout {
    float4 position : POSITION;
    float4 color0 : COLOR0;
    float fogParams : FOG;
    float4 texcolor0 : TEXCOORD0;
};

vertout main(appin IN)
{
    vertout OUT;
    float4x4 modelViewProj = glstate.matrix.mvp;
    float4x4 modelView = glstate.matrix.modelview[0];
    float4x4 textureMatrix = glstate.matrix.texture[0];
    float fogDensity = glstate.fog.params[0];

    OUT.position = mul(modelViewProj, IN.position);
    float4 eyePosition = mul(modelView, IN.position);
    OUT.color0 = IN.color;

    // Exponential-squared fog over the distance to the eye (w included).
    float fogDistance = length(eyePosition);
    OUT.fogParams = exp(-(fogDistance * fogDensity * fogDistance * fogDensity));

    OUT.texcolor0 = IN.texcoord;
    return OUT;
}
)";

const char* const kxLightLobeFogEffectPrograms::FRAGMENT_PROGRAM = R"(// Fog beam, fragment program.
struct vertout {
    float4 position : POSITION;
    float4 color0 : COLOR0;
    float fogParams : FOG;
    float4 texcolor0 : TEXCOORD0;
};

struct pixout {
    float4 color : COLOR;
};

pixout main(vertout IN, uniform sampler2D texture0 : TEXUNIT0)
{
    pixout OUT;
    float4 fogColor = glstate.fog.color;
    float4 t = tex2D(texture0, IN.texcolor0.xy);
    // The beam is as opaque as the texture's first channel times the colour's alpha.
    float alpha = IN.color0.a * t.r;
    float3 ff = lerp(fogColor.rgb, IN.color0.rgb, IN.fogParams);
    OUT.color = float4(saturate(IN.color0.rgb + t.rgb + ff), alpha);
    return OUT;
}
)";

krShaderProgram* kxLightLobeFogEffectPrograms::createProgram() {
    const char* const language = "cg";
    kuRef<krShaderFactory> factory = new krShaderFactory;
    kuRef<krShaderProgram> program = factory->createProgram(language);
    if (!program)
        return nullptr;
    program->setApplyMode(krShaderProgram::APPLY_REPLACE);
    struct Stage {
        const char* nameFormat;
        const char* text;
        int type;
    };
    const Stage stages[] = {{VERTEX_FILE_NAME, VERTEX_PROGRAM, krShader::TYPE_VERTEX},
                            {FRAGMENT_FILE_NAME, FRAGMENT_PROGRAM, krShader::TYPE_FRAGMENT}};
    for (const Stage& stage : stages) {
        char name[64];
        std::snprintf(name, sizeof name, stage.nameFormat, language);
        kuRef<kuFile> file = kuFile::open(stage.text, std::strlen(stage.text), name, "rt");
        if (!file)
            continue;
        kuRef<krShader> shader = factory->read(file.get(), stage.type);
        file->close();
        if (!shader)
            continue;
        shader->setHidden(true);
        shader->setEntryFunction("main");
        shader->setProfile(0);
        program->insert_shader(shader.get());
    }
    if (program->getNumShaders() == 0)
        return nullptr;
    // Handed over with its reference count at 0, as a new object is.
    return program.release();
}
