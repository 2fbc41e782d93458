{
  # Two addons: clsieve (OpenCL) always, nvsieve (CUDA) only when scripts/find-cuda.js
  # finds a toolkit; otherwise it prints one line saying why and only clsieve is built.
  'variables': {
    # The proof-of-work core, free of Node and GPU headers.
    'core_sources': [
      'src/common/blake2s.cc',
      'src/common/hex.cc',
      'src/common/search_block.cc',
      'src/common/reference.cc',
    ],
    # What both modules add to it: the binding frame and the GPU-failure exit.
    'common_sources': [
      '<@(core_sources)',
      'src/common/fatal.cc',
      'src/common/job_number.cc',
      'src/common/binding_frame.cc',
    ],
    'cuda_root%': '<!(node scripts/find-cuda.js)',
    # 1 adds the test-only modules (nvsieve_emu.node); never set by npm install.
    'noncesieve_test_modules%': 0,
    'opencl_defines': [
      'CL_HPP_TARGET_OPENCL_VERSION=120',
      'CL_HPP_MINIMUM_OPENCL_VERSION=120',
      'CL_TARGET_OPENCL_VERSION=120',
    ],
  },
  'target_defaults': {
    'include_dirs': [
      '<!(node -e "require(\'nan\')")',
      'src/common',
    ],
    # nan's NODE_MODULE casts the init function; GCC's -Wextra flags that in every addon.
    'cflags_cc': ['-std=c++17', '-O2', '-fvisibility=hidden', '-Wno-cast-function-type'],
  },
  'targets': [
    {
      # Prints what the core computes for the built-in job; npm start runs it.
      'target_name': 'core_selftest',
      'type': 'executable',
      'sources': ['src/common/core_selftest.cc', '<@(core_sources)'],
    },
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
        '<@(core_sources)',
        'src/common/fatal.cc',
        'src/common/job_number.cc',
      ],
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
      'sources': ['src/ocl_binding/binding.cc', 'src/common/binding_frame.cc'],
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
  'conditions': [
    ['cuda_root!=""', {
      'targets': [
        {
          'target_name': 'nvsieve',
          'variables': {
            'cudart_static': '<!(node scripts/find-cuda.js --cudart)',
          },
          'sources': [
            'src/binding/binding.cc',
            'src/binding/device.cc',
            'src/binding/kernel_blake.cu',
            'src/binding/runner.cu',
            '<@(common_sources)',
          ],
          'include_dirs': ['src/binding'],
          'rules': [
            {
              'rule_name': 'nvcc',
              'extension': 'cu',
              # make does not see the headers a .cu includes, so any header change
              # recompiles them all (new headers are picked up by a rebuild).
              'inputs': [
                'scripts/nvcc.sh',
                'scripts/cuda-archs.js',
                '<!@(ls src/common/*.h src/binding/*.h src/binding/*.cuh 2>/dev/null || true)',
              ],
              'outputs': ['<(INTERMEDIATE_DIR)/<(RULE_INPUT_ROOT).o'],
              'action': [
                'env', 'NVCC=<(cuda_root)/bin/nvcc',
                'bash', 'scripts/nvcc.sh', '<(RULE_INPUT_PATH)',
                '<(INTERMEDIATE_DIR)/<(RULE_INPUT_ROOT).o',
              ],
              'process_outputs_as_sources': 1,
              'message': 'nvcc <(RULE_INPUT_NAME)',
            },
          ],
          # Static CUDA runtime: the addon needs only the driver (libcuda.so) at run time.
          'libraries': ['<(cudart_static)', '-ldl', '-lpthread', '-lrt'],
        },
      ],
    }],
    # nvsieve_emu.node: nvsieve's own objects, relinked against the emulated CUDA runtime
    # of test/emu_cuda instead of libcudart_static.a, so that the module runs its kernel
    # on the CPU and can be tested without a GPU. Only when asked for:
    #   GYP_DEFINES=noncesieve_test_modules=1 node scripts/build.js configure build
    ['noncesieve_test_modules==1', {
      'targets': [
        {
          # The floor under a scan's round trip, for bench/binding-cost.js.
          'target_name': 'bare_worker',
          'sources': ['bench/native/bare_worker.cc'],
        },
      ],
    }],
    ['cuda_root!="" and noncesieve_test_modules==1', {
      'targets': [
        {
          'target_name': 'nvsieve_emu_runtime',
          'type': 'static_library',
          'sources': [
            'test/emu_cuda/emu_config.cc',
            'test/emu_cuda/emu_kernels.cc',
            'test/emu_cuda/emu_runtime.cc',
          ],
          'include_dirs': ['test/emu_cuda', '<(cuda_root)/include'],
        },
        {
          'target_name': 'nvsieve_emu',
          'type': 'none',
          'dependencies': ['nvsieve', 'nvsieve_emu_runtime'],
          'actions': [
            {
              # Replays nvsieve.node's recorded link with the runtime swapped, so the
              # .cu objects are nvsieve's own and nothing is compiled twice.
              'action_name': 'link_nvsieve_emu',
              'inputs': [
                'test/emu_cuda/link-emu.sh',
                '<(PRODUCT_DIR)/nvsieve.node',
                '<(PRODUCT_DIR)/obj.target/nvsieve_emu_runtime.a',
              ],
              'outputs': ['<(PRODUCT_DIR)/nvsieve_emu.node'],
              'action': [
                'bash', 'test/emu_cuda/link-emu.sh', '<(PRODUCT_DIR)',
                '<(PRODUCT_DIR)/obj.target/nvsieve_emu_runtime.a',
                '<(PRODUCT_DIR)/nvsieve_emu.node',
              ],
              'message': 'Linking nvsieve_emu.node against the emulated CUDA runtime',
            },
          ],
        },
      ],
    }],
  ],
}
