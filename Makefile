# The two commands of the README. Everything else is CMake presets (see CMakePresets.json).
.PHONY: demo test clean

demo:
	cmake --preset release >/dev/null
	cmake --build --preset release
	./build/release/tools/krhost/krhost demo

test:
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug

clean:
	rm -rf build
