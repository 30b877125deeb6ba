#ifndef KU_PIPELINE_H
#define KU_PIPELINE_H

// The shape of the frame pipeline, in one place: every ring of per-frame data (frame data,
// channel views, bin sets) is sized from it.
// Threads: constants.
namespace kuPipeline {
// Stages a frame passes through, each on its own thread in pipelined mode: update, cull, draw.
// While the application thread updates frame N, frame N-1 is culled and N-2 drawn.
constexpr int DEPTH = 3;
// Slots of a per-frame ring: one per frame in flight and a spare, so that frame N stays readable
// until frame N + NUM_FRAME_SLOTS takes its slot, past every frame that can be in flight with it.
constexpr int NUM_FRAME_SLOTS = DEPTH + 1;
} // namespace kuPipeline

#endif
