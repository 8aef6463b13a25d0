"""Small ONNX models built with the onnx package (opset 16)."""
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 16


def save(model, path):
    onnx.checker.check_model(model)
    onnx.save(model, path)


def tiny_affine(path):
    """y = x * 2 + 1 over a float [1, 4] input: proves the runtime wiring."""
    two = numpy_helper.from_array(np.array([2.0], np.float32), "two")
    one = numpy_helper.from_array(np.array([1.0], np.float32), "one")
    graph = helper.make_graph(
        [helper.make_node("Mul", ["x", "two"], ["t"]), helper.make_node("Add", ["t", "one"], ["y"])],
        "tiny_affine",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 4])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 4])],
        initializer=[two, one],
    )
    save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)]), path)
