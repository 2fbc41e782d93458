{
  # Two addons, each built only when its toolkit is usable here:
  # clsieve (OpenCL) when scripts/find-opencl.js compiles against the OpenCL
  # headers and ICD loader, nvsieve (CUDA) when scripts/find-cuda.js finds an
  # nvcc that works. Each probe that fails prints one line saying why and what
  # to install; the other addon is still built.
  'variables': {
    'cuda_root%': '<!(node scripts/find-cuda.js)',
    'opencl%': '<!(node scripts/find-opencl.js)',
    # The development tree (a checkout, not the installed package) also builds
    # the emulated CUDA module, the benchmark hosts and the bare worker.
    'dev_tree%': '<!(node -p "+require(\'fs\').existsSync(\'test/emu_cuda\')")',
    # gpuhealth needs nothing beyond the compiler: it opens NVML at run time.
    'gpuhealth%': '<!(node -p "+require(\'./scripts/skip-note\').selected(\'gpuhealth\')")',
    'opencl_defines': [
      'CL_HPP_TARGET_OPENCL_VERSION=120',
      'CL_HPP_MINIMUM_OPENCL_VERSION=120',
      'CL_TARGET_OPENCL_VERSION=120',
    ],
    # Each addon's script binding, on top of its backend library.
    'clsieve_binding': ['src/ocl_binding/binding.cc', 'src/common/binding_frame.cc'],
    'nvsieve_binding': ['src/binding/binding.cc', 'src/common/binding_frame.cc'],
  },
  'target_defaults': {
    'include_dirs': [
      '<!(node -e "require(\'nan\')")',
      'src/common',
    ],
    # nan's NODE_MODULE casts the init function; GCC's -Wextra flags that in every addon.
    'cflags_cc': ['-std=c++17', '-O2', '-fvisibility=hidden', '-Wno-cast-function-type'],
    # Every file binds glibc's calls to versions that glibc 2.28 has (glibc_floor.h).
    'cflags': ['-include', 'glibc_floor.h'],
  },
  'targets': [
    {
      # The proof-of-work core, free of Node and GPU headers, and the GPU-failure exit.
      'target_name': 'noncesieve_core',
      'type': 'static_library',
      'sources': [
        'src/common/blake2s.cc',
        'src/common/hex.cc',
        'src/common/search_block.cc',
        'src/common/reference.cc',
        'src/common/fatal.cc',
        'src/common/job_number.cc',
      ],
    },
    {
      # Prints what the core computes for the built-in job; npm start runs it.
      'target_name': 'core_selftest',
      'type': 'executable',
      'sources': ['src/common/core_selftest.cc'],
      'dependencies': ['noncesieve_core'],
    },
  ],
  'conditions': [
    ['gpuhealth==1', {
      'targets': [
        {
          # NVIDIA GPUs' temperature, power, fan and clocks, for the rig's health().
          'target_name': 'gpuhealth',
          'sources': ['src/health/gpuhealth.cc'],
          'libraries': ['-ldl'],
        },
      ],
    }],
    ['opencl==1', {
      'targets': [
        {
          # The OpenCL backend with its embedded kernels and images, shared by the
          # module and the image capture tool.
          'target_name': 'clsieve_backend',
          'type': 'static_library',
          'sources': [
            'src/ocl_binding/device.cc',
            'src/ocl_binding/gpucontext.cc',
            'src/ocl_binding/runner.cc',
            'src/ocl_binding/images.cc',
          ],
          'dependencies': ['noncesieve_core'],
          'direct_dependent_settings': {
            'include_dirs': ['src/ocl_binding'],
            'defines': ['<@(opencl_defines)'],
            'libraries': ['-lOpenCL'],
          },
          'include_dirs': ['src/ocl_binding'],
          'defines': ['<@(opencl_defines)'],
          'actions': [
            {
              'action_name': 'embed_ocl',
              'inputs': [
                'scripts/embed.js',
                'src/ocl_binding/kernel.cl',
                'src/ocl_binding/kernel_gran2.cl',
                # The folder itself, so adding or removing an image reruns the action.
                'src/ocl_binding/images',
                '<!@(node scripts/embed.js --list src/ocl_binding/images)',
              ],
              'outputs': ['<(INTERMEDIATE_DIR)/ocl_embedded.cc'],
              'action': [
                'node', 'scripts/embed.js', '<(INTERMEDIATE_DIR)/ocl_embedded.cc',
                'src/ocl_binding/images',
                'src/ocl_binding/kernel.cl',
                'src/ocl_binding/kernel_gran2.cl',
              ],
              'process_outputs_as_sources': 1,
              'message': 'Embedding OpenCL sources and images',
            },
          ],
        },
        {
          'target_name': 'clsieve',
          'sources': ['<@(clsieve_binding)'],
          'dependencies': ['clsieve_backend'],
        },
        {
          # Writes the two-nonce kernel's binary for each OpenCL device found, under
          # its image name, for embedding as a prebuilt image.
          'target_name': 'clsieve_capture',
          'type': 'executable',
          'sources': ['src/ocl_binding/capture.cc'],
          'dependencies': ['clsieve_backend'],
        },
      ],
    }],
    ['cuda_root!=""', {
      'targets': [
        {
          # The CUDA backend: device model, runner, the driver it opens at run
          # time, and the kernel module's two images embedded (the fatbin nvcc
          # makes, the portable PTX clang makes).
          'target_name': 'nvsieve_backend',
          'type': 'static_library',
          'sources': [
            'src/binding/cuda_driver.cc',
            'src/binding/device.cc',
            'src/binding/kernel_blake.cc',
            'src/binding/runner.cc',
          ],
          'dependencies': ['noncesieve_core'],
          'include_dirs': ['src/binding', '<(cuda_root)/include'],
          'defines': ['NVSIEVE_SASS_ARCHS=<!(node scripts/cuda-archs.js --list <(cuda_root)/bin/nvcc)'],
          'direct_dependent_settings': {
            'include_dirs': ['src/binding', '<(cuda_root)/include'],
          },
          'link_settings': {
            'libraries': ['-ldl'],
          },
          'actions': [
            {
              # make does not see the headers the kernel includes, so any header
              # change rebuilds the images.
              'action_name': 'nvsieve_fatbin',
              'inputs': [
                'src/binding/kernel_blake.cu',
                'scripts/nvcc.sh',
                'scripts/cuda-archs.js',
                '<!@(ls src/common/*.h)',
              ],
              'outputs': ['<(PRODUCT_DIR)/nvsieve_fatbin'],
              'action': [
                'env', 'NVCC=<(cuda_root)/bin/nvcc',
                'bash', 'scripts/nvcc.sh', 'src/binding/kernel_blake.cu', '<(PRODUCT_DIR)/nvsieve_fatbin',
              ],
              'message': 'nvcc kernel_blake.cu (fatbin)',
            },
            {
              'action_name': 'nvsieve_portable_ptx',
              'inputs': [
                'src/binding/kernel_blake.cu',
                'src/binding/clang_cuda.h',
                'scripts/portable-ptx.sh',
                '<!@(ls src/common/*.h)',
              ],
              'outputs': ['<(PRODUCT_DIR)/nvsieve_portable_ptx'],
              'action': [
                'bash', 'scripts/portable-ptx.sh', 'src/binding/kernel_blake.cu',
                '<(PRODUCT_DIR)/nvsieve_portable_ptx',
              ],
              'message': 'clang kernel_blake.cu (portable PTX)',
            },
            {
              'action_name': 'nvsieve_embed',
              'inputs': [
                'scripts/embed.js',
                '<(PRODUCT_DIR)/nvsieve_fatbin',
                '<(PRODUCT_DIR)/nvsieve_portable_ptx',
              ],
              'outputs': ['<(INTERMEDIATE_DIR)/nvsieve_images.cc'],
              'action': [
                'node', 'scripts/embed.js', '--raw', '<(INTERMEDIATE_DIR)/nvsieve_images.cc',
                '<(PRODUCT_DIR)/nvsieve_fatbin', '<(PRODUCT_DIR)/nvsieve_portable_ptx',
              ],
              'process_outputs_as_sources': 1,
              'message': 'Embedding the CUDA images',
            },
          ],
        },
        {
          # No CUDA library is linked: the driver is opened at run time.
          'target_name': 'nvsieve',
          'sources': ['<@(nvsieve_binding)'],
          'dependencies': ['nvsieve_backend'],
        },
      ],
    }],
    ['dev_tree==1', {
      'targets': [
        {
          # The floor under a scan's round trip, for bench/binding-cost.js.
          'target_name': 'bare_worker',
          'sources': ['bench/native/bare_worker.cc'],
        },
        {
          # The host reference on every core, for bench/clsieve-throughput.js.
          'target_name': 'reference_cpu',
          'type': 'executable',
          'sources': ['bench/native/reference_cpu.cc'],
          'dependencies': ['noncesieve_core'],
          'ldflags': ['-pthread'],
        },
      ],
    }],
    ['dev_tree==1 and opencl==1', {
      'targets': [
        {
          # The source kernel launched back to back by a minimal C++ host.
          'target_name': 'ocl_host',
          'type': 'executable',
          'sources': ['bench/native/ocl_host.cc'],
          'dependencies': ['clsieve_backend'],
        },
      ],
    }],
  ],
}
