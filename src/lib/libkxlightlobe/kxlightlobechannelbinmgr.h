#ifndef KXLIGHTLOBECHANNELBINMGR_H
#define KXLIGHTLOBECHANNELBINMGR_H

#include <ks/ksChannelProxy.h>
#include <ku/kuBase.h>

// Internal singleton that reserves the channel bin the fog beams are drawn from.
// Threads: application thread.
class kxLightLobeChannelBinMgr : public kuBase {
public:
    static kxLightLobeChannelBinMgr* instance();
    // Drops the module's reference; warns when others still hold the manager.
    static void destroy();
    static int initializeClass();
    static int shutdownClass();
    static ClassType* getStaticClassType();

    int getFogEffectBinId() const { return m_binId; }

    // Draws records the usual way: each with its matrix, state and normalizing, then itself.
    static void drawRecords(krDrawContext* context, ksCullRecord* const* first,
                            ksCullRecord* const* last);

    // Draws the fog-effect bin.
    class BinProcessor : public ksChannelProxy::DrawProcessor {
    public:
        int process(krDrawContext* context, ksCullRecord* const* first, ksCullRecord* const* last,
                    const ksChannel* channel) override;
    };

    const ClassType* getClassType() const override;
    bool isOfClassType(const ClassType* type) const override;
    bool isExactClassType(const ClassType* type) const override;

protected:
    kxLightLobeChannelBinMgr();
    ~kxLightLobeChannelBinMgr() override;

private:
    int m_binId = -1;
};

#endif
