// The table of the matrix words' registrars. Each registrar lives in its word's own file.
#include "mxcmd/mx_word_registrars.h"

namespace tq {

const MX_WORD_REGISTRAR mx_word_registrars[kMxWordRegistrarCount] = {
    {"init_mxCH", init_mxCH},
    {"init_mxSet", init_mxSet},
    {"init_mxTrigger", init_mxTrigger},
    {"init_mxAdd", init_mxAdd},
    {"init_mxDiff", init_mxDiff},
    {"init_mxThinnedOut", init_mxThinnedOut},
    {"init_mxCompressJPEG", init_mxCompressJPEG},
    {"init_mxUncompressJPEG", init_mxUncompressJPEG},
    {"init_mxLoad", init_mxLoad},
    {"init_mxSave", init_mxSave},
    {"init_mxFinish", init_mxFinish},
    {"init_mxUncompressOldFormat", init_mxUncompressOldFormat},
    {"init_mxCompressZ", init_mxCompressZ},
    {"init_mxUncomressZ", init_mxUncomressZ},
    {"init_mxCompound", init_mxCompound},
    {"init_mxSeparate", init_mxSeparate},
    {"init_mxSquash", init_mxSquash},
    {"init_mxStuffing", init_mxStuffing},
    {"init_mxMax", init_mxMax},
    {"init_mxLoadSB", init_mxLoadSB},
    {"init_mxSaveSB", init_mxSaveSB},
    {"init_mxSetSB", init_mxSetSB},
    {"init_sbArray", init_sbArray},
    {"init_sbPrimitive", init_sbPrimitive},
    {"init_sbHeuristicLayering", init_sbHeuristicLayering},
    {"init_mxPgPlot", init_mxPgPlot},
    {"init_mxObjID", init_mxObjID},
};

}  // namespace tq
