#!/usr/bin/env python3
"""Writes a large, seeded controller-style firmware and builds it into one ELF.

The sources look like engine-controller calibration code: every module has its
own typedefs, enumerations, calibration structures with bit fields, nested
arrays and unions, global and file-static calibration data, lookup tables and
function-local statics. Every module also includes a shared header of common
types, so each compile unit repeats those types in its debugging information,
as real projects do.

The same seed and module count always give the same sources. The build is
cached: a stamp file beside the ELF records the parameters, and a rerun with
the same parameters does nothing.

    gen_firmware.py OUTDIR [--seed N] [--modules N] [--jobs N]
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

GENERATOR_VERSION = 4

BASE_TYPES = [
    ("uint8", "unsigned char"),
    ("sint8", "signed char"),
    ("uint16", "unsigned short"),
    ("sint16", "short"),
    ("uint32", "unsigned int"),
    ("sint32", "int"),
    ("float32", "float"),
    ("float64", "double"),
    ("boolean", "unsigned char"),
]

CFLAGS = ["-mcpu=cortex-m4", "-mthumb", "-g", "-O0", "-gdwarf-4",
          "-fdata-sections", "-ffunction-sections", "-fno-common"]


def common_header():
    out = ["/* Common types shared by every module. */",
           "#ifndef PLATFORM_TYPES_H", "#define PLATFORM_TYPES_H"]
    for name, c in BASE_TYPES:
        out.append(f"typedef {c} {name};")
    out += [
        "typedef enum { STD_OFF = 0, STD_ON = 1 } Std_OnOff;",
        "typedef enum { E_OK = 0, E_NOT_OK = 1, E_PENDING = 2 } Std_ReturnType;",
        "typedef struct { uint16 x; uint16 y; } Point16;",
        "typedef struct { sint16 lo; sint16 hi; } Limits16;",
        "typedef struct { float32 gain; float32 offset; Limits16 clamp; } Scaling;",
        "typedef struct {",
        "    uint8 enable : 1;",
        "    uint8 mode : 3;",
        "    uint8 level : 4;",
        "    uint8 reserved;",
        "    uint16 debounce : 10;",
        "    uint16 spare : 6;",
        "} DiagFlags;",
        "typedef union { uint32 word; uint16 half[2]; uint8 byte[4]; } Raw32;",
        "typedef struct { uint8 count; Point16 axis[8]; sint16 values[8]; } Curve8;",
        "typedef struct { uint8 nx; uint8 ny; uint16 xs[6]; uint16 ys[4]; sint16 z[4][6]; } Map6x4;",
        "#endif",
    ]
    return "\n".join(out) + "\n"


class Module:
    def __init__(self, rng, index):
        self.rng = rng
        self.index = index
        self.prefix = f"M{index:03d}"
        self.types = []  # (c type name, rough signal count)
        self.lines = []

    def emit(self, text=""):
        self.lines.append(text)

    def scalar(self):
        return self.rng.choice([n for n, _ in BASE_TYPES])

    def make_enum(self, k):
        name = f"{self.prefix}_Mode{k}"
        n = self.rng.randint(3, 9)
        items = ", ".join(f"{name.upper()}_V{i} = {i * self.rng.randint(1, 3)}" for i in range(n))
        self.emit(f"typedef enum {{ {items} }} {name};")
        return name

    def make_struct(self, k, enums):
        r = self.rng
        name = f"{self.prefix}_Cal{k}_t"
        self.emit(f"typedef struct {name}_tag {{")
        signals = 0
        members = r.randint(6, 14)
        for m in range(members):
            kind = r.random()
            if kind < 0.35:
                self.emit(f"    {self.scalar()} p{m};")
                signals += 1
            elif kind < 0.50:
                n = r.choice([2, 4, 8, 10, 16])
                self.emit(f"    {self.scalar()} arr{m}[{n}];")
                signals += n
            elif kind < 0.60:
                self.emit(f"    uint8 bf{m}a : {r.randint(1, 3)};")
                self.emit(f"    uint8 bf{m}b : {r.randint(1, 4)};")
                self.emit(f"    uint16 bf{m}c : {r.randint(2, 9)};")
                signals += 3
            elif kind < 0.68 and enums:
                self.emit(f"    {r.choice(enums)} mode{m};")
                signals += 1
            elif kind < 0.76:
                self.emit(f"    union {{ uint32 all; struct {{ uint16 lo; uint16 hi; }} parts; }} u{m};")
                signals += 3
            elif kind < 0.84 and any(s <= 30 for _, s in self.types):
                inner, s = r.choice([t for t in self.types if t[1] <= 30])
                self.emit(f"    {inner} sub{m};")
                signals += s
            elif kind < 0.90:
                t = r.choice(["Scaling", "DiagFlags", "Raw32", "Point16"])
                self.emit(f"    {t} c{m};")
                signals += {"Scaling": 4, "DiagFlags": 6, "Raw32": 7, "Point16": 2}[t]
            elif kind < 0.95:
                self.emit(f"    Curve8 curve{m};")
                signals += 25
            else:
                self.emit(f"    {self.scalar()} *ptr{m};")
                signals += 1
        self.emit(f"}} {name};")
        self.types.append((name, signals))

    def generate(self, structs, variables):
        r = self.rng
        self.emit(f"/* Calibration module {self.prefix}. */")
        self.emit('#include "platform_types.h"')
        self.emit()
        enums = [self.make_enum(k) for k in range(r.randint(2, 4))]
        for k in range(structs):
            self.make_struct(k, enums)
        self.emit()
        functions = []
        for v in range(variables):
            t, s = r.choice(self.types)
            kind = r.random()
            storage = "static " if kind < 0.3 else ""
            qual = "const " if r.random() < 0.1 else ""
            # Arrays of calibration records carry most of the signals.
            if r.random() < 0.5:
                n = r.choice([2, 3, 4, 6])
                self.emit(f"{storage}{qual}{t} {self.prefix}_cal{v}[{n}] = {{{{0}}}};")
            else:
                self.emit(f"{storage}{qual}{t} {self.prefix}_cal{v} = {{0}};")
            if storage:
                functions.append(f"{self.prefix}_cal{v}")
        for k in range(r.randint(2, 5)):
            n = r.choice([16, 32, 64])
            self.emit(f"const {self.scalar()} {self.prefix}_table{k}[{n}] = {{1, 2, 3}};")
        self.emit(f"Map6x4 {self.prefix}_map = {{0}};")
        self.emit(f"volatile DiagFlags {self.prefix}_diag;")
        self.emit()
        # Accessors: every structure type is used, so every one of them is
        # described in the debugging information of this unit.
        for name, _ in self.types:
            self.emit(f"uint32 {name[:-2]}_Size(const {name} *p) {{ return (uint32)sizeof(*p); }}")
        self.emit()
        # Functions with their own statics keep the file statics alive.
        for f in range(r.randint(3, 6)):
            t, _ = r.choice(self.types)
            self.emit(f"Std_ReturnType {self.prefix}_Task{f}(uint8 channel)")
            self.emit("{")
            self.emit(f"    static {t} state;")
            self.emit(f"    static uint32 counter[{r.choice([2, 4, 8])}];")
            self.emit("    counter[0]++;")
            for name in functions[f::4]:
                self.emit(f"    (void)&{name};")
            self.emit("    (void)&state;")
            self.emit("    return channel ? E_OK : E_NOT_OK;")
            self.emit("}")
        return "\n".join(self.lines) + "\n"


def main_source(modules):
    out = ['#include "platform_types.h"']
    for i in range(modules):
        out.append(f"Std_ReturnType M{i:03d}_Task0(uint8 channel);")
    out.append("int main(void)")
    out.append("{")
    out.append("    uint8 ch = 0;")
    out.append("    for (;;) {")
    for i in range(modules):
        out.append(f"        (void)M{i:03d}_Task0(ch);")
    out.append("        ch++;")
    out.append("    }")
    out.append("}")
    return "\n".join(out) + "\n"


# Plenty of room: calibration RAM of a generated image easily exceeds what the
# default memory layout would allow, so flash and RAM are given explicitly.
LINKER_SCRIPT = """\
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x00000000, LENGTH = 64M
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 256M
}
ENTRY(Reset_Handler)
SECTIONS
{
  .text : { KEEP(*(.vectors)) *(.text*) *(.rodata*) *(.glue_7*) *(.eh_frame*) } > FLASH
  .ARM.exidx : { *(.ARM.exidx*) } > FLASH
  .data : { *(.data*) } > RAM AT > FLASH
  .bss (NOLOAD) : { __bss_start__ = .; *(.bss*) *(COMMON) __bss_end__ = .; } > RAM
  __end__ = .; end = .;
}
"""

STARTUP = """\
extern int main(void);
void Reset_Handler(void) { (void)main(); for (;;) { } }
__attribute__((section(".vectors"))) void (*const vectors[2])(void) = {
    (void (*)(void))0x20100000, Reset_Handler };
"""


def write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("outdir")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--modules", type=int, default=300)
    ap.add_argument("--structs", type=int, default=200, help="structure types per module")
    ap.add_argument("--variables", type=int, default=40, help="calibration variables per module")
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args()

    outdir = os.path.abspath(args.outdir)
    src = os.path.join(outdir, "src")
    obj = os.path.join(outdir, "obj")
    os.makedirs(src, exist_ok=True)
    os.makedirs(obj, exist_ok=True)
    elf = os.path.join(outdir, "app.elf")
    stamp = os.path.join(outdir, "app.stamp")
    params = {"version": GENERATOR_VERSION, "seed": args.seed, "modules": args.modules,
              "structs": args.structs, "variables": args.variables, "cflags": CFLAGS}
    try:
        with open(stamp, encoding="utf-8") as f:
            if json.load(f) == params and os.path.exists(elf):
                print(f"generated firmware up to date: {elf}")
                return 0
    except (OSError, ValueError):
        pass

    t0 = time.time()
    rng = random.Random(args.seed)
    write_if_changed(os.path.join(src, "platform_types.h"), common_header())
    write_if_changed(os.path.join(src, "main.c"), main_source(args.modules))
    write_if_changed(os.path.join(src, "startup.c"), STARTUP)
    write_if_changed(os.path.join(outdir, "app.ld"), LINKER_SCRIPT)
    names = ["main", "startup"]
    for i in range(args.modules):
        module = Module(random.Random(rng.random()), i)
        write_if_changed(os.path.join(src, f"cal_{i:03d}.c"),
                         module.generate(args.structs, args.variables))
        names.append(f"cal_{i:03d}")

    def compile_one(name):
        c = os.path.join(src, name + ".c")
        o = os.path.join(obj, name + ".o")
        if os.path.exists(o) and os.path.getmtime(o) >= os.path.getmtime(c):
            return o
        subprocess.run(["arm-none-eabi-gcc", *CFLAGS, "-c", c, "-o", o], check=True)
        return o

    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        objects = list(pool.map(compile_one, names))
    subprocess.run(["arm-none-eabi-gcc", "-mcpu=cortex-m4", "-mthumb", "--specs=nosys.specs",
                    "-nostartfiles", "-T", os.path.join(outdir, "app.ld"),
                    "-Wl,--no-warn-rwx-segments", "-o", elf, *objects], check=True)
    with open(stamp, "w", encoding="utf-8") as f:
        json.dump(params, f)
    print(f"generated firmware: {elf} ({args.modules} modules, "
          f"{os.path.getsize(elf) / 1e6:.1f} MB) in {time.time() - t0:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
