
:p/clip"
MemberNode*
k"clip :ai.velomark.compose_v2
8p/sub"
MemberNode*
k"sub :ai.velomark.compose_v2
<p/mul_a"
MemberNode*
k"mul_a :ai.velomark.compose_v2
<p/mul_b"
MemberNode*
k"mul_b :ai.velomark.compose_v2
#
alpha
lip_deliverycvmin"Min

a
cvrgbadd2"AddsZ&
lip_delivery




