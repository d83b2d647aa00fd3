# Pixel programs of the composite kernels.  The orcc-generated C backup of
# each program is registered as its fallback, so results match with and
# without a code generator.

.function video_mixer_orc_memcpy_u32
.dest 4 d1 orc_uint32
.source 4 s1 orc_uint32

copyl d1, s1


# d = (d * 256 + alpha * (s - d)) >> 8, alpha in 0..256
.function video_mixer_orc_blend_u8
.flags 2d
.dest 1 d1 orc_uint8
.source 1 s1 orc_uint8
.param 2 p1
.temp 2 t1
.temp 2 t2

convubw t1, d1
convubw t2, s1
subw t2, t2, t1
mullw t2, t2, p1
shlw t1, t1, 8
addw t2, t1, t2
shruw t2, t2, 8
convwb d1, t2


# Alpha in byte 0; the result is opaque.
.function video_mixer_orc_blend_argb
.flags 2d
.dest 4 d orc_uint8
.source 4 s orc_uint8
.param 2 alpha
.temp 4 t
.temp 2 tw
.temp 1 tb
.temp 4 a
.temp 8 d_wide
.temp 8 s_wide
.temp 8 a_wide
.const 4 c_alpha 0x000000ff

loadl t, s
convlw tw, t
convwb tb, tw
splatbl a, tb
x4 convubw a_wide, a
x4 mullw a_wide, a_wide, alpha
x4 shruw a_wide, a_wide, 8
x4 convubw s_wide, t
loadl t, d
x4 convubw d_wide, t
x4 subw s_wide, s_wide, d_wide
x4 mullw s_wide, s_wide, a_wide
x4 div255w s_wide, s_wide
x4 addw d_wide, d_wide, s_wide
x4 convwb t, d_wide
orl t, t, c_alpha
storel d, t


# Alpha in byte 3; the result is opaque.
.function video_mixer_orc_blend_bgra
.flags 2d
.dest 4 d orc_uint8
.source 4 s orc_uint8
.param 2 alpha
.temp 4 t
.temp 4 t2
.temp 2 tw
.temp 1 tb
.temp 4 a
.temp 8 d_wide
.temp 8 s_wide
.temp 8 a_wide
.const 4 c_alpha 0xff000000

loadl t, s
shrul t2, t, 24
convlw tw, t2
convwb tb, tw
splatbl a, tb
x4 convubw a_wide, a
x4 mullw a_wide, a_wide, alpha
x4 shruw a_wide, a_wide, 8
x4 convubw s_wide, t
loadl t, d
x4 convubw d_wide, t
x4 subw s_wide, s_wide, d_wide
x4 mullw s_wide, s_wide, a_wide
x4 div255w s_wide, s_wide
x4 addw d_wide, d_wide, s_wide
x4 convwb t, d_wide
orl t, t, c_alpha
storel d, t


# "Over" with destination alpha, alpha in byte 0:
# sa = alpha * S.A >> 8, da = div255(D.A * (255 - sa)), A = sa + da,
# colour = (da * D.c + sa * S.c) / A (255 when A is 0).
.function video_mixer_orc_overlay_argb
.flags 2d
.dest 4 d orc_uint8
.source 4 s orc_uint8
.param 2 alpha
.temp 4 t
.temp 4 sp
.temp 2 tw
.temp 1 tb
.temp 4 a
.temp 8 sa_wide
.temp 8 da_wide
.temp 8 inv_wide
.temp 8 s_wide
.temp 8 d_wide
.temp 8 sum_wide
.const 4 c_colour 0xffffff00
.const 4 c_alpha 0x000000ff

loadl sp, s
convlw tw, sp
convwb tb, tw
splatbl a, tb
x4 convubw sa_wide, a
x4 mullw sa_wide, sa_wide, alpha
x4 shruw sa_wide, sa_wide, 8
x4 convubw s_wide, sp
x4 mullw s_wide, s_wide, sa_wide

loadl t, d
convlw tw, t
convwb tb, tw
splatbl a, tb
x4 convubw da_wide, a
x4 subw inv_wide, 255, sa_wide
x4 mullw da_wide, da_wide, inv_wide
x4 div255w da_wide, da_wide
x4 convubw d_wide, t
x4 mullw d_wide, d_wide, da_wide

x4 addw d_wide, d_wide, s_wide
x4 addw sum_wide, sa_wide, da_wide
x4 divluw d_wide, d_wide, sum_wide
x4 convwb t, d_wide
andl t, t, c_colour
x4 convwb a, sum_wide
andl a, a, c_alpha
orl t, t, a
storel d, t


# The same with alpha in byte 3.
.function video_mixer_orc_overlay_bgra
.flags 2d
.dest 4 d orc_uint8
.source 4 s orc_uint8
.param 2 alpha
.temp 4 t
.temp 4 t2
.temp 4 sp
.temp 2 tw
.temp 1 tb
.temp 4 a
.temp 8 sa_wide
.temp 8 da_wide
.temp 8 inv_wide
.temp 8 s_wide
.temp 8 d_wide
.temp 8 sum_wide
.const 4 c_colour 0x00ffffff
.const 4 c_alpha 0xff000000

loadl sp, s
shrul t2, sp, 24
convlw tw, t2
convwb tb, tw
splatbl a, tb
x4 convubw sa_wide, a
x4 mullw sa_wide, sa_wide, alpha
x4 shruw sa_wide, sa_wide, 8
x4 convubw s_wide, sp
x4 mullw s_wide, s_wide, sa_wide

loadl t, d
shrul t2, t, 24
convlw tw, t2
convwb tb, tw
splatbl a, tb
x4 convubw da_wide, a
x4 subw inv_wide, 255, sa_wide
x4 mullw da_wide, da_wide, inv_wide
x4 div255w da_wide, da_wide
x4 convubw d_wide, t
x4 mullw d_wide, d_wide, da_wide

x4 addw d_wide, d_wide, s_wide
x4 addw sum_wide, sa_wide, da_wide
x4 divluw d_wide, d_wide, sum_wide
x4 convwb t, d_wide
andl t, t, c_colour
x4 convwb a, sum_wide
andl a, a, c_alpha
orl t, t, a
storel d, t
