// The registrars of the matrix words, and the table that gives init_matrix their order.
// Each binds its word or words in the environment it is given (matrix_tq_env).
#pragma once
#include "lang/env.h"
#include "matrix/matrix_start.h"

namespace tq {

inline constexpr int kMxWordRegistrarCount = 27;
// In the order the store's start-up calls them.
extern const MX_WORD_REGISTRAR mx_word_registrars[kMxWordRegistrarCount];

void init_mxCH(TQISP_ENV* env);
void init_mxSet(TQISP_ENV* env);
void init_mxTrigger(TQISP_ENV* env);
void init_mxAdd(TQISP_ENV* env);
void init_mxDiff(TQISP_ENV* env);
void init_mxThinnedOut(TQISP_ENV* env);
void init_mxCompressJPEG(TQISP_ENV* env);
void init_mxUncompressJPEG(TQISP_ENV* env);
void init_mxLoad(TQISP_ENV* env);
void init_mxSave(TQISP_ENV* env);
void init_mxFinish(TQISP_ENV* env);
void init_mxUncompressOldFormat(TQISP_ENV* env);
void init_mxCompressZ(TQISP_ENV* env);
void init_mxUncomressZ(TQISP_ENV* env);
void init_mxCompound(TQISP_ENV* env);
void init_mxSeparate(TQISP_ENV* env);
void init_mxSquash(TQISP_ENV* env);
void init_mxStuffing(TQISP_ENV* env);
void init_mxMax(TQISP_ENV* env);
void init_mxLoadSB(TQISP_ENV* env);
void init_mxSaveSB(TQISP_ENV* env);
void init_mxSetSB(TQISP_ENV* env);
void init_sbArray(TQISP_ENV* env);
void init_sbPrimitive(TQISP_ENV* env);
void init_sbHeuristicLayering(TQISP_ENV* env);
void init_mxPgPlot(TQISP_ENV* env);
void init_mxObjID(TQISP_ENV* env);

}  // namespace tq
