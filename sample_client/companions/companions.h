/* The five companion libraries of the sample client: each names itself. */
#ifndef ZARNEL_SAMPLE_COMPANIONS_H
#define ZARNEL_SAMPLE_COMPANIONS_H

#ifdef __cplusplus
extern "C" {
#endif

__declspec(dllimport) const char* ZarnelRenderDescribe(void);
__declspec(dllimport) const char* ZarnelAudioDescribe(void);
__declspec(dllimport) const char* ZarnelNetDescribe(void);
__declspec(dllimport) const char* ZarnelInputDescribe(void);
__declspec(dllimport) const char* ZarnelScriptDescribe(void);

#ifdef __cplusplus
}
#endif

#endif
