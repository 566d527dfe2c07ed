# What `cmake --install` puts into the prefix: libstrevo.so.0 with its development name (a linker
# script, see below) and libstrevo-common.so.0 (the companion library), strevo-cli and
# strevo-gpu-check in bin/ (tools/CMakeLists.txt), the headers a host program compiles against (in their
# source folders under include/strevo/), the CMake package (find_package(strevo) ->
# strevo::strevo) and strevo.pc for pkg-config.

# The public surface: the pipeline and its callbacks, the codec interfaces and factories, the
# facade, hooks and export macro (in base/, and under their former names in api/), and the
# companion library's headers a host uses with them (presets, pixel formats, time stamps, and
# what those include). Every header here must compile with only the others and Qt/FFmpeg; the
# install test includes them all.
set(STREVO_PUBLIC_HEADERS
  api/AudioChunk.h
  api/AudioOutputData.h
  api/BaseHooks.h
  api/IStrevoObserver.h
  api/Strevo.h
  api/StrevoExport.h
  api/VideoFrame.h
  base/BaseHooks.h
  base/StrevoExport.h
  codec/audio/AudioCodecFactory.h
  codec/audio/IAudioCodec.h
  codec/video/IVideoCodec.h
  codec/video/MFVideo.h
  codec/video/VideoCodecFactory.h
  common/AudioQueue.h
  common/CodecModel.h
  common/CodecPreset.h
  common/DirectX11Manager.h
  common/DirectX9Manager.h
  common/IThreadCallback.h
  common/LockedFifo.h
  common/OutputStats.h
  common/PixelFormat.h
  common/ProjectModel.h
  common/ProjectPreset.h
  common/Singleton.h
  common/StrevoLog.h
  common/TimeStamp.h
  common/VideoQueue.h
  encoder/AVSync.h
  encoder/EncodedAudio.h
  encoder/EncodedVideo.h
  encoder/Encoder.h
  encoder/EncoderGroup.h
  encoder/FramePool.h
  encoder/IAudioThread.h
  encoder/IEncoder.h
  encoder/IEncodingCallback.h
  encoder/IEncodingStatus.h
  encoder/RefEncoder.h
  muxer/IMuxerCallback.h
  muxer/LiveUrl.h
  platform/CudaD3D11Device.h
  platform/D3D11Device.h
  platform/HostD3D11Device.h
  encoder/IVideoThread.h
  codec/video/amf/DownloadAmf.h
)
foreach(header ${STREVO_PUBLIC_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${STREVO_INCLUDE_INSTALL_DIR}/${folder})
endforeach()

install(TARGETS strevo EXPORT strevoTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
install(TARGETS common EXPORT strevoTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The library re-exports SoundTouch's classes: a host that links -lstrevo gets libSoundTouch with
# it. ELF libraries cannot pass on another library's symbols, so the development name
# libstrevo.so is a linker script (as libc.so is) naming both; the CMake package adds
# SoundTouch to strevo::strevo's link interface instead.
file(WRITE ${CMAKE_BINARY_DIR}/cmake/libstrevo.so
  "/* GNU ld script: libstrevo and the SoundTouch library whose classes it re-exports. */\n"
  "INPUT(libstrevo.so.${PROJECT_VERSION_MAJOR} AS_NEEDED(-lSoundTouch))\n")
install(FILES ${CMAKE_BINARY_DIR}/cmake/libstrevo.so DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT strevoTargets NAMESPACE strevo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/strevo)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/strevoConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/strevoConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/strevo)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/strevoConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/strevoConfig.cmake
  ${CMAKE_BINARY_DIR}/cmake/strevoConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/strevo)

# strevo.pc finds the prefix from its own place (${pcfiledir}), so it stays valid when the
# prefix is given only at install time (cmake --install --prefix) or the tree is moved.
file(RELATIVE_PATH STREVO_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" STREVO_PC_TO_PREFIX "${STREVO_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/strevo.pc.in ${CMAKE_BINARY_DIR}/cmake/strevo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cmake/strevo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
