/* MPS2 AN386 (Cortex-M4) as qemu-system-arm models it: code in ZBT SSRAM1 at
   0, data and stack in ZBT SSRAM2/3. The emulator loads every section where
   it is linked, so .data needs no copy at start-up. */
MEMORY
{
  CODE (rx) : ORIGIN = 0x00000000, LENGTH = 4M
  RAM (rw)  : ORIGIN = 0x20000000, LENGTH = 4M
}

ENTRY(reset_handler)

SECTIONS
{
  .text : { KEEP(*(.vectors)) *(.text .text.*) *(.rodata .rodata.*) } > CODE
  .ARM.exidx : { *(.ARM.exidx .ARM.exidx.*) } > CODE
  .init_array : { *(.init_array .init_array.*) } > CODE
  .data : { *(.data .data.*) } > RAM
  .bss (NOLOAD) : ALIGN(4) { __bss_start__ = .; *(.bss .bss.*) *(COMMON) . = ALIGN(4); __bss_end__ = .; } > RAM
  __stack_top__ = ORIGIN(RAM) + LENGTH(RAM);
}

/* The start-up code runs no constructors: nothing may need one. */
ASSERT(SIZEOF(.init_array) == 0, "a static object needs a constructor, which this firmware never runs")
