#ifndef KX_CG_SAMPLES_H
#define KX_CG_SAMPLES_H

// Cg samples for the translator's tests: a case per translation rule with its GLSL, and a
// whole vertex and fragment program in the shape of a textured beam in fog.

#include <kr/krCgTranslator.h>

#include <string>

struct kxCgGolden {
    const char* cg;
    const char* glsl;
};

// Every translation rule met at least once by the cases; each output was checked by hand.
// One or more cases per rule; each output was checked by hand against the rule.
const kxCgGolden KX_CG_GOLDEN[] = {
    {"float4 a = float4(1.0f, 0.5h, 2, 3.0F);", "vec4 a = vec4(1.0, 0.5, 2, 3.0);"},
    {"float3x4 m; half2 h; float4x4 n; float f;", "mat4x3 m; vec2 h; mat4 n; float f;"},
    {"lerp(a, b, t) + tex2D(s, c.xy) + tex2Dproj(s, c.xyw)",
     "mix(a, b, t) + texture2D(s, c.xy) + texture2DProj(s, c.xyw)"},
    {"v = mul( OutPosEye,\n   kxLightLobe_projTexMatrix1 );",
     "v = ((OutPosEye) * (kxLightLobe_projTexMatrix1));"},
    {"mul(mul(A, B), v)", "((((A) * (B))) * (v))"},
    {"saturate( a * (b - c) )", "clamp(a * (b - c), 0.0, 1.0)"},
    {"glstate.matrix.mvp glstate.matrix.modelview[0] glstate.matrix.texture[3]",
     "gl_ModelViewProjectionMatrix gl_ModelViewMatrix gl_TextureMatrix[3]"},
    {"glstate.light[0].diffuse.rgb + glstate.material.ambient",
     "gl_LightSource[0].diffuse.rgb + gl_FrontMaterial.ambient"},
    {"glstate.fog.params.x * glstate.fog.color.a",
     "vec4(gl_Fog.density, gl_Fog.start, gl_Fog.end, gl_Fog.scale).x * gl_Fog.color.a"},
    {"const float3 fogColor = glstate.fog.color.rgb; const float k = 2.0f;",
     "vec3 fogColor = gl_Fog.color.rgb; const float k = 2.0;"},
    {"b = ( v.w < 0.0 ) ? 0.0f :\n    saturate(x);",
     "b = cg_sel(( v.w < 0.0 ), 0.0, clamp(x, 0.0, 1.0));"},
};

inline std::string kxCgDeclaration(krCgTranslator& translator) {
    return translator.translateDeclaration("  float3 x = float3(0.0f,0.0f,0.0f); ");
}

// A vertex and a fragment program in the shape of a textured beam in fog.
const char* const KX_CG_BEAM_VERTEX = R"(
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
    OUT.position = mul(glstate.matrix.mvp, IN.position);
    float4 eyePos = mul(glstate.matrix.modelview[0], IN.position);
    OUT.color0 = IN.color;
    float fogDistance = length(eyePos);
    float fogDensity = glstate.fog.params[0];
    OUT.fogParams = exp(-(fogDistance * fogDensity * fogDistance * fogDensity));
    OUT.texcolor0 = IN.texcoord;
    return OUT;
}
)";

const char* const KX_CG_BEAM_FRAGMENT = R"(
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
    float alpha = IN.color0.a * t.r;
    float3 ff = lerp(fogColor.rgb, IN.color0.rgb, IN.fogParams);
    OUT.color = float4(saturate(IN.color0.rgb + t.rgb + ff), alpha);
    return OUT;
}
)";

const char* const KX_CG_DECLARATION_GLSL = "vec3 x = vec3(0.0,0.0,0.0);";

#endif
